-- Turns wrk's requests into absolute-URI proxy requests for the URL in the
-- environment variable TARGET (wrk itself connects to the proxy).
local target = os.getenv("TARGET")
wrk.path = target
wrk.headers["Host"] = string.match(target, "^%a+://([^/]+)")
