// Fuzz target: ICP datagrams as the ICP server and the peer selection
// receive them, and the server's answer to them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "forward.h"
#include "fuzz_support.h"
#include "settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > ICP_PACKET_MAX) return 0;  // a datagram never holds more
    std::unique_ptr<icp_packet> query(new icp_packet);
    std::unique_ptr<icp_packet> reply(new icp_packet);
    // What lies past the datagram is garbage the parser must not look at.
    memset(query.get(), 0xA5, sizeof *query);
    memcpy(query.get(), data, size);
    int received = icp_packet_check(query.get(), (ssize_t)size);
    if (received < 0) return 0;
    check((size_t)received == size);
    check(query->length >= ICP_HEADER_SIZE && query->length <= received);
    (void)icp_opcode_name(query->opcode);

    int length = icp_answer(query.get(), received, reply.get());
    check(length == reply->length);
    check(length >= ICP_HEADER_SIZE && length <= received);
    check(reply->number == query->number);
    if (reply->opcode == ICP_OP_HIT || reply->opcode == ICP_OP_MISS) {
        size_t payload = (size_t)length - ICP_HEADER_SIZE;
        check(payload > 0 && memchr(reply->payload, 0, payload) != nullptr);
    } else {
        check(reply->opcode == ICP_OP_INVALID && length == ICP_HEADER_SIZE);
    }
    return 0;
}
