// The built-in pages: the table of pages, its images and the shared style block.
#include <stdint.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "templates.h"

namespace {

std::string page_bytes(const char *name) {
    const TEMPLATE_PAGE *page = template_page_find(name);
    if (!page) return std::string();
    return page->length < 0 ? std::string(page->data) : std::string(page->data, (size_t)page->length);
}

// Every page, in table order.
const char *const page_order[] = {
    "unknown",   "badrequest",    "badresponse", "nodns",       "nofile",        "nocache",
    "noconnect", "blocked",       "blacklisted", "virus",       "badprotocol",   "noaccess",
    "badauth",   "downloadlimit", "uploadlimit", "maxrequests", "imgfilter",     "downloading",
    "proxy.pac", "interfacehead", "tinygif",     "logo1",       "logo",          "checkeredgif",
    "tinyswf",   "empty",         "uparrow",     "downarrow",   "interface.css", "tooltip",
};

uint16_t le16(const std::string &bytes, size_t at) {
    return (uint16_t)((unsigned char)bytes[at] | ((unsigned char)bytes[at + 1] << 8));
}

TEST(Pages, TableHoldsEveryPageInOrderWithItsTypeAndParseFlag) {
    size_t count = 0;
    while (PAGES[count].name) count++;
    ASSERT_EQ(count, sizeof page_order / sizeof page_order[0]);
    for (size_t i = 0; i < count; i++) {
        SCOPED_TRACE(page_order[i]);
        const TEMPLATE_PAGE &row = PAGES[i];
        EXPECT_STREQ(row.name, page_order[i]);
        std::string name = row.name;
        const char *mime = "text/html";
        if (name == "proxy.pac") mime = "application/x-ns-proxy-autoconfig";
        else if (name == "tinyswf") mime = "application/x-shockwave";
        else if (name == "empty" || name == "interface.css" || name == "tooltip") mime = "text/plain";
        else if (i >= 20) mime = "image/gif";
        EXPECT_STREQ(row.mime_type, mime);
        EXPECT_EQ(row.parse, i < 20 ? 1 : 0);
    }
    EXPECT_EQ(template_page_find("NoAccess"), &PAGES[11]);
    EXPECT_EQ(template_page_find("error"), nullptr);
    EXPECT_EQ(template_page_find(nullptr), nullptr);
}

TEST(Pages, ImagesHaveTheirFormatSizeAndDimensions) {
    const std::string tiny = page_bytes("tinygif");
    const unsigned char tiny_expected[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0xf0,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x21, 0xf9, 0x04,
                                           0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01,
                                           0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
    EXPECT_EQ(tiny, std::string((const char *)tiny_expected, sizeof tiny_expected));

    struct Case {
        const char *name;
        int width, height;
        size_t size;  // 0: not fixed
    } cases[] = {
        {"tinygif", 1, 1, 43}, {"checkeredgif", 4, 4, 64}, {"logo", 195, 42, 0},
        {"logo1", 195, 42, 0}, {"uparrow", 27, 27, 0},     {"downarrow", 27, 27, 0},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        std::string gif = page_bytes(test.name);
        ASSERT_GT(gif.size(), 13u);
        EXPECT_EQ(gif.substr(0, 6), "GIF89a");
        EXPECT_EQ(le16(gif, 6), test.width);
        EXPECT_EQ(le16(gif, 8), test.height);
        EXPECT_EQ(gif.back(), ';');
        if (test.size) {
            EXPECT_EQ(gif.size(), test.size);
        }
    }
    EXPECT_NE(page_bytes("logo"), page_bytes("logo1"));
    EXPECT_NE(page_bytes("uparrow"), page_bytes("downarrow"));

    std::string swf = page_bytes("tinyswf");
    ASSERT_EQ(swf.size(), 327u);
    EXPECT_EQ(swf.substr(0, 3), "FWS");
    EXPECT_EQ(le16(swf, 4) | (le16(swf, 6) << 16), 327);            // the file's own length field
    EXPECT_EQ(swf.substr(swf.size() - 2), std::string("\0\0", 2));  // End tag

    EXPECT_EQ(page_bytes("empty"), "");
    EXPECT_EQ(template_page_find("empty")->length, 0);
}

TEST(Pages, StyleBlockDefinesTheSharedClassesAndHoldsNoVariableSign) {
    std::string css = page_bytes("interface.css");
    EXPECT_EQ(css.rfind("<style", 0), 0u);
    const char *classes[] = {
        "list",           "listhead",    "listeven",         "listodd",      "bigdialog", "smalldialog",
        "dialog",         "dialoghead",  "dialogfoot",       "centerdialog", "checklist", "menu",
        "topmenu",        "ftphead",     "diffline",         "diffremoved",  "diffadded", "entryfieldodd",
        "entryfieldeven", "sectiondesc", "subsectionheader", "listhead1"};
    for (const char *name : classes) {
        bool defined = css.find(std::string(".") + name + " ") != std::string::npos ||
                       css.find(std::string(".") + name + ",") != std::string::npos;
        EXPECT_TRUE(defined) << name;
    }
    // It precedes pages whose variables are substituted.
    EXPECT_EQ(css.find('@'), std::string::npos);
    std::string tooltip = page_bytes("tooltip");
    for (const char *function :
         {"function overhere(", "function EnterContent(", "function Activate(", "function deActivate("})
        EXPECT_NE(tooltip.find(function), std::string::npos) << function;
    EXPECT_NE(tooltip.find("\"ToolTip\""), std::string::npos);
    std::string head = page_bytes("interfacehead");
    EXPECT_NE(head.find("<img src=\"/template/logo\""), std::string::npos);
}

}  // namespace
