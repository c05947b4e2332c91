// The built-in pages: every page the proxy answers with when no template
// rule replaces it. HTML pages are complete documents whose base address is
// the interface host, so their images and links are answered by the proxy.
#include "settings.h"
#include "templates.h"

#define PAGE_COLOUR "#1f3b63"

// Logo and banner at the top of every page of the interface.
#define INTERFACE_HEAD                                                                                  \
    "<table class=\"interfacehead\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\">\n" \
    "<tr><td align=\"left\"><a href=\"/\"><img src=\"/template/logo\" width=\"195\" height=\"42\" "     \
    "border=\"0\" alt=\"Korvantel\"></a></td>\n"                                                        \
    "<td class=\"banner\" align=\"right\">" PRODUCT_NAME " " VERSION                                    \
    "</td></tr>\n"                                                                                      \
    "</table>\n"

// A block or error page: title, extra head lines, message.
#define PAGE_WITH(title, head, message)                                                 \
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"               \
    "<html><head>\n"                                                                    \
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"         \
    "<base href=\"http://" INTERFACE_HOST "/\">\n" head "<title>" title                 \
    "</title>\n"                                                                        \
    "</head><body>\n" INTERFACE_HEAD                                                    \
    "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\">\n"         \
    "<tr><td><br></td></tr>\n"                                                          \
    "<tr><td align=\"center\">\n"                                                       \
    "<table class=\"centerdialog\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\">\n" \
    "<tr><td class=\"dialoghead\">" title                                               \
    "</td></tr>\n"                                                                      \
    "<tr><td class=\"dialog\" align=\"center\">" message                                \
    "</td></tr>\n"                                                                      \
    "</table>\n"                                                                        \
    "</td></tr></table>\n"                                                              \
    "</body></html>\n"

#define PAGE(title, message) PAGE_WITH(title, "", message)

// Images: GIF89a files (tinygif 1x1, the logos 195x42 in two colourings,
// checkeredgif 4x4, the arrows 27x27) and an empty one-frame Flash movie.
static const char tinygif_data[] =
    "\x47\x49\x46\x38\x39\x61\x01\x00\x01\x00\xf0\x00\x00\x00\x00\x00"
    "\xff\xff\xff\x21\xf9\x04\x01\x00\x00\x00\x00\x2c\x00\x00\x00\x00"
    "\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b";

static const char logo1_data[] =
    "\x47\x49\x46\x38\x39\x61\xc3\x00\x2a\x00\xf1\x00\x00\xff\xff\xff"
    "\x1f\x3b\x63\xc8\x78\x1e\x00\x00\x00\x2c\x00\x00\x00\x00\xc3\x00"
    "\x2a\x00\x00\x02\xff\x84\x8f\xa9\xcb\xed\x0f\xa3\x9c\xb4\xda\x8b"
    "\xb3\xde\xbc\xfb\x0f\x86\xe2\x48\x96\xe6\x89\xa6\xea\xca\xb6\xee"
    "\x0b\xc7\xf2\x4c\xd7\xf6\x8d\xe7\xfa\xce\xf7\xfe\x0f\x0c\x0a\x27"
    "\x81\x62\xa3\x18\x18\x96\x90\x4b\xa4\xb1\xc5\x64\x44\x95\xa2\x69"
    "\xd5\x99\x84\x3e\x17\x56\xea\xa7\x0b\xc2\x66\x59\x60\xb0\xf7\xbb"
    "\x6d\x8e\x57\xe5\xf4\x39\xec\x1e\x99\x4f\xed\xf5\x1b\x6d\x97\xc7"
    "\x51\xd3\x39\x42\x5c\x77\x20\xa6\xe0\x57\x37\x98\xd0\x87\x45\x08"
    "\xe8\x74\xc4\x08\xe1\xa7\x26\xb8\x87\xf8\x58\x39\x76\xf8\x47\x09"
    "\x60\xa8\x78\x39\xd9\x78\xc9\x98\x07\x9a\xe9\x48\x4a\xb7\x15\x69"
    "\x30\xba\x88\xe9\xa9\x89\xca\x19\xd7\xfa\xc9\x0a\x5b\x6a\xc9\xa5"
    "\x7b\xea\x62\x2a\xb5\x99\x18\x1a\x0b\xda\x2b\x21\x1c\x68\xeb\x50"
    "\x18\xbc\xa9\xb6\x3a\x2b\x8b\x4c\xab\xda\x2c\xeb\x9a\x9b\x97\xbc"
    "\x6c\x6d\x4c\x86\x0b\x2c\x5d\x3d\x5c\x7c\x2b\x7e\xad\xfc\x1b\x8d"
    "\xfd\xc0\x7c\xee\x3b\xee\xcd\xbe\x7e\xdc\x2d\xaa\xeb\x3e\x7f\x3a"
    "\x9a\xaf\xf5\xfa\x1e\xae\x5c\x84\x7e\xb1\x6a\xd1\xdb\xa5\xcd\x99"
    "\x39\x7e\xf6\xbe\xfd\x93\x97\x4e\x21\xb1\x80\xf7\x00\x09\xd4\x67"
    "\x0e\x12\x43\x82\x9f\x6c\xa8\x25\x04\x78\x90\x48\x3c\x65\xf3\x38"
    "\x66\x8c\x88\x8e\x5b\xca\x2b\x1f\x31\x4e\x0c\x59\xef\x21\x49\x94"
    "\x10\x61\x1e\x84\x56\x93\x8f\x47\x97\x02\x71\xd2\x9c\xf9\xd2\xa4"
    "\x4d\x61\x19\x7c\xc2\x01\x99\x6d\x9b\x05\x68\x1b\x2f\x02\xcd\xb6"
    "\x0f\x5c\x41\xa9\x92\x28\x4e\x25\x77\xf2\x02\x53\x86\x4e\x5f\xba"
    "\x72\xa7\x2e\xa9\x44\x3c\x35\x0d\x76\x15\x99\xb2\x69\x56\x9e\x0b"
    "\xad\x85\x6d\x8b\xf5\x8e\xdc\xb9\x74\xeb\xda\xbd\x8b\x37\xaf\xde"
    "\xbd\x7c\xfb\xfa\xfd\x0b\x38\xb0\xe0\xc1\x84\x15\x08\x38\x8c\x38"
    "\xb1\xe2\xc5\x8c\x1b\x3b\x7e\x0c\x39\xb2\xe4\xc9\x94\x2b\x5b\xbe"
    "\x8c\x39\xb3\xe6\xcd\x9c\x3b\x7b\xfe\x0c\x3a\xb4\xe8\xd1\xa4\x4b"
    "\x9b\xee\x5c\x00\x00\x3b";

static const char logo_data[] =
    "\x47\x49\x46\x38\x39\x61\xc3\x00\x2a\x00\xf1\x00\x00\x1f\x3b\x63"
    "\xff\xff\xff\xc8\x78\x1e\x00\x00\x00\x2c\x00\x00\x00\x00\xc3\x00"
    "\x2a\x00\x00\x02\xff\x84\x8f\xa9\xcb\xed\x0f\xa3\x9c\xb4\xda\x8b"
    "\xb3\xde\xbc\xfb\x0f\x86\xe2\x48\x96\xe6\x89\xa6\xea\xca\xb6\xee"
    "\x0b\xc7\xf2\x4c\xd7\xf6\x8d\xe7\xfa\xce\xf7\xfe\x0f\x0c\x0a\x27"
    "\x81\x62\xa3\x18\x18\x96\x90\x4b\xa4\xb1\xc5\x64\x44\x95\xa2\x69"
    "\xd5\x99\x84\x3e\x17\x56\xea\xa7\x0b\xc2\x66\x59\x60\xb0\xf7\xbb"
    "\x6d\x8e\x57\xe5\xf4\x39\xec\x1e\x99\x4f\xed\xf5\x1b\x6d\x97\xc7"
    "\x51\xd3\x39\x42\x5c\x77\x20\xa6\xe0\x57\x37\x98\xd0\x87\x45\x08"
    "\xe8\x74\xc4\x08\xe1\xa7\x26\xb8\x87\xf8\x58\x39\x76\xf8\x47\x09"
    "\x60\xa8\x78\x39\xd9\x78\xc9\x98\x07\x9a\xe9\x48\x4a\xb7\x15\x69"
    "\x30\xba\x88\xe9\xa9\x89\xca\x19\xd7\xfa\xc9\x0a\x5b\x6a\xc9\xa5"
    "\x7b\xea\x62\x2a\xb5\x99\x18\x1a\x0b\xda\x2b\x21\x1c\x68\xeb\x50"
    "\x18\xbc\xa9\xb6\x3a\x2b\x8b\x4c\xab\xda\x2c\xeb\x9a\x9b\x97\xbc"
    "\x6c\x6d\x4c\x86\x0b\x2c\x5d\x3d\x5c\x7c\x2b\x7e\xad\xfc\x1b\x8d"
    "\xfd\xc0\x7c\xee\x3b\xee\xcd\xbe\x7e\xdc\x2d\xaa\xeb\x3e\x7f\x3a"
    "\x9a\xaf\xf5\xfa\x1e\xae\x5c\x84\x7e\xb1\x6a\xd1\xdb\xa5\xcd\x99"
    "\x39\x7e\xf6\xbe\xfd\x93\x97\x4e\x21\xb1\x80\xf7\x00\x09\xd4\x67"
    "\x0e\x12\x43\x82\x9f\x6c\xa8\x25\x04\x78\x90\x48\x3c\x65\xf3\x38"
    "\x66\x8c\x88\x8e\x5b\xca\x2b\x1f\x31\x4e\x0c\x59\xef\x21\x49\x94"
    "\x10\x61\x1e\x84\x56\x93\x8f\x47\x97\x02\x71\xd2\x9c\xf9\xd2\xa4"
    "\x4d\x61\x19\x7c\xc2\x01\x99\x6d\x9b\x05\x68\x1b\x2f\x02\xcd\xb6"
    "\x0f\x5c\x41\xa9\x92\x28\x4e\x25\x77\xf2\x02\x53\x86\x4e\x5f\xba"
    "\x72\xa7\x2e\xa9\x44\x3c\x35\x0d\x76\x15\x99\xb2\x69\x56\x9e\x0b"
    "\xad\x85\x6d\x8b\xf5\x8e\xdc\xb9\x74\xeb\xda\xbd\x8b\x37\xaf\xde"
    "\xbd\x7c\xfb\xfa\xfd\x0b\x38\xb0\xe0\xc1\x84\x15\x08\x38\x8c\x38"
    "\xb1\xe2\xc5\x8c\x1b\x3b\x7e\x0c\x39\xb2\xe4\xc9\x94\x2b\x5b\xbe"
    "\x8c\x39\xb3\xe6\xcd\x9c\x3b\x7b\xfe\x0c\x3a\xb4\xe8\xd1\xa4\x4b"
    "\x9b\xee\x5c\x00\x00\x3b";

static const char checkeredgif_data[] =
    "\x47\x49\x46\x38\x39\x61\x04\x00\x04\x00\xf0\x00\x00\xff\xff\xff"
    "\xcc\xcc\xcc\x21\xfe\x16\x4b\x6f\x72\x76\x61\x6e\x74\x65\x6c\x20"
    "\x63\x68\x65\x63\x6b\x65\x72\x62\x6f\x61\x72\x64\x00\x2c\x00\x00"
    "\x00\x00\x04\x00\x04\x00\x00\x02\x05\x44\x7c\x67\xb8\x05\x00\x3b";

static const char tinyswf_data[] =
    "\x46\x57\x53\x08\x47\x01\x00\x00\x30\x0a\x00\xa0\x00\x0c\x01\x00"
    "\x44\x11\x10\x00\x00\x00\x7f\x13\x22\x01\x00\x00\x3c\x72\x64\x66"
    "\x3a\x52\x44\x46\x20\x78\x6d\x6c\x6e\x73\x3a\x72\x64\x66\x3d\x22"
    "\x68\x74\x74\x70\x3a\x2f\x2f\x77\x77\x77\x2e\x77\x33\x2e\x6f\x72"
    "\x67\x2f\x31\x39\x39\x39\x2f\x30\x32\x2f\x32\x32\x2d\x72\x64\x66"
    "\x2d\x73\x79\x6e\x74\x61\x78\x2d\x6e\x73\x23\x22\x3e\x3c\x72\x64"
    "\x66\x3a\x44\x65\x73\x63\x72\x69\x70\x74\x69\x6f\x6e\x20\x72\x64"
    "\x66\x3a\x61\x62\x6f\x75\x74\x3d\x22\x22\x20\x78\x6d\x6c\x6e\x73"
    "\x3a\x64\x63\x3d\x22\x68\x74\x74\x70\x3a\x2f\x2f\x70\x75\x72\x6c"
    "\x2e\x6f\x72\x67\x2f\x64\x63\x2f\x65\x6c\x65\x6d\x65\x6e\x74\x73"
    "\x2f\x31\x2e\x31\x2f\x22\x3e\x3c\x64\x63\x3a\x74\x69\x74\x6c\x65"
    "\x3e\x4b\x6f\x72\x76\x61\x6e\x74\x65\x6c\x3c\x2f\x64\x63\x3a\x74"
    "\x69\x74\x6c\x65\x3e\x3c\x64\x63\x3a\x64\x65\x73\x63\x72\x69\x70"
    "\x74\x69\x6f\x6e\x3e\x41\x6e\x20\x65\x6d\x70\x74\x79\x20\x6f\x6e"
    "\x65\x2d\x66\x72\x61\x6d\x65\x20\x6d\x6f\x76\x69\x65\x20\x69\x6e"
    "\x20\x70\x6c\x61\x63\x65\x20\x6f\x66\x20\x62\x6c\x6f\x63\x6b\x65"
    "\x64\x20\x46\x6c\x61\x73\x68\x20\x63\x6f\x6e\x74\x65\x6e\x74\x2e"
    "\x3c\x2f\x64\x63\x3a\x64\x65\x73\x63\x72\x69\x70\x74\x69\x6f\x6e"
    "\x3e\x3c\x2f\x72\x64\x66\x3a\x44\x65\x73\x63\x72\x69\x70\x74\x69"
    "\x6f\x6e\x3e\x3c\x2f\x72\x64\x66\x3a\x52\x44\x46\x3e\x00\x43\x02"
    "\xff\xff\xff\x40\x00\x00\x00";

static const char uparrow_data[] =
    "\x47\x49\x46\x38\x39\x61\x1b\x00\x1b\x00\xf0\x00\x00\xff\xff\xff"
    "\x1f\x3b\x63\x21\xf9\x04\x01\x00\x00\x00\x00\x2c\x00\x00\x00\x00"
    "\x1b\x00\x1b\x00\x00\x02\x3a\x84\x8f\xa9\xcb\xed\x0f\xa3\x9c\x20"
    "\x50\x67\xef\x0a\x5c\x27\x0e\x7a\x07\xd8\x89\x64\xa8\x9d\x64\xaa"
    "\x96\x53\xbb\x4a\xf0\x29\xcf\xe8\x63\xd3\x58\xae\x33\x7c\xaf\xf8"
    "\xa9\x36\xc2\xe1\xa7\x08\xac\x20\x8d\xca\x25\x53\x04\x8d\x4a\x45"
    "\x05\x00\x3b";

static const char downarrow_data[] =
    "\x47\x49\x46\x38\x39\x61\x1b\x00\x1b\x00\xf0\x00\x00\xff\xff\xff"
    "\x1f\x3b\x63\x21\xf9\x04\x01\x00\x00\x00\x00\x2c\x00\x00\x00\x00"
    "\x1b\x00\x1b\x00\x00\x02\x39\x84\x8f\xa9\xcb\xed\x0f\xa3\x44\xa1"
    "\xda\x8b\xf3\x3d\xba\xf7\xe4\x85\x95\x22\x86\x4b\xa9\x35\xe8\xa6"
    "\xae\xa3\xe3\x46\xa8\x34\xd3\xe6\x04\x78\xb8\xa1\xef\x79\xe6\xe3"
    "\xb0\x82\x3f\x0b\x51\x18\x38\x52\x94\x4b\xa6\xf3\x09\x55\x16\x00"
    "\x00\x3b";

// The interface's style block, put in front of every built-in HTML page and
// into the head of every interface page.
static const char interface_css[] =
    "<style type=\"text/css\">\n"
    "<!--\n"
    "body { background-color: #ffffff; color: #000000; font-family: Verdana, Arial, Helvetica, sans-serif; "
    "font-size: 10pt; margin: 4px; }\n"
    "table, td, input, select, textarea { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 10pt; }\n"
    "a { color: " PAGE_COLOUR
    "; }\n"
    "a:hover { color: #c8781e; }\n"
    "#ToolTip { position: absolute; visibility: hidden; z-index: 100; left: 0px; top: 0px; }\n"
    ".tooltip { background-color: #ffffe1; border: 1px solid " PAGE_COLOUR
    "; width: 320px; }\n"
    ".tooltiphead { background-color: " PAGE_COLOUR
    "; color: #ffffff; font-weight: bold; padding: 2px 4px; }\n"
    ".tooltipbody { padding: 4px; }\n"
    ".interfacehead { background-color: " PAGE_COLOUR
    "; border-bottom: 3px solid #c8781e; }\n"
    ".banner { color: #ffffff; font-weight: bold; padding: 0px 8px; }\n"
    ".list { border: 1px solid " PAGE_COLOUR
    "; border-collapse: collapse; }\n"
    ".list td { padding: 2px 4px; }\n"
    ".listhead, .listhead1 { background-color: " PAGE_COLOUR
    "; color: #ffffff; font-weight: bold; }\n"
    ".listhead a { color: #ffffff; }\n"
    ".listeven { background-color: #ffffff; }\n"
    ".listodd { background-color: #e6ebf2; }\n"
    ".bigdialog { width: 90%; border: 1px solid " PAGE_COLOUR
    "; }\n"
    ".smalldialog { width: 50%; border: 1px solid " PAGE_COLOUR
    "; }\n"
    ".centerdialog { width: 60%; border: 1px solid " PAGE_COLOUR
    "; margin-left: auto; margin-right: auto; }\n"
    ".dialog { background-color: #f4f6f9; padding: 8px; }\n"
    ".dialoghead { background-color: " PAGE_COLOUR
    "; color: #ffffff; font-weight: bold; text-align: center; "
    "padding: 3px; }\n"
    ".dialogfoot { background-color: #e6ebf2; text-align: center; padding: 3px; }\n"
    ".checklist td { padding: 0px 4px; }\n"
    ".menu { width: 90%; border: 1px solid " PAGE_COLOUR
    "; background-color: #f4f6f9; }\n"
    ".menu td { padding: 3px; width: 25%; }\n"
    ".topmenu { background-color: " PAGE_COLOUR
    "; color: #ffffff; font-weight: bold; text-align: center; }\n"
    ".ftphead { background-color: " PAGE_COLOUR
    "; color: #ffffff; font-weight: bold; }\n"
    ".diffline { background-color: #e6ebf2; font-weight: bold; }\n"
    ".diffremoved { background-color: #f8d7d7; }\n"
    ".diffadded { background-color: #d7f0d7; }\n"
    ".sectiondesc { padding: 4px; font-style: italic; }\n"
    ".subsectionheader { background-color: #e6ebf2; font-weight: bold; padding: 3px; }\n"
    ".entryeditdialog, .entrydialog { width: 90%; border: 1px solid " PAGE_COLOUR
    "; }\n"
    ".entryeditdialoghead, .entrydialoghead { background-color: " PAGE_COLOUR
    "; color: #ffffff; "
    "font-weight: bold; padding: 3px; }\n"
    ".entryeditdialogfoot, .entrydialogfoot { background-color: #e6ebf2; text-align: center; padding: 3px; }\n"
    ".entryfieldeven { background-color: #ffffff; }\n"
    ".entryfieldodd { background-color: #f4f6f9; }\n"
    "-->\n"
    "</style>\n";

// The tooltip script of the interface pages: the body calls overhere() on
// every mouse move; the configuration dialogs fill the "ToolTip" element
// with EnterContent(title, text) and show and hide it with Activate() and
// deActivate().
static const char tooltip_js[] =
    "<script type=\"text/javascript\">\n"
    "<!--\n"
    "var tooltip_shown = false;\n"
    "var tooltip_x = 0;\n"
    "var tooltip_y = 0;\n"
    "function tooltip_place() {\n"
    "  var tip = document.getElementById(\"ToolTip\");\n"
    "  if (!tip) return;\n"
    "  tip.style.left = (tooltip_x + 12) + \"px\";\n"
    "  tip.style.top = (tooltip_y + 12) + \"px\";\n"
    "}\n"
    "function overhere(e) {\n"
    "  if (!e) e = window.event;\n"
    "  if (!e) return;\n"
    "  if (typeof e.pageX == \"number\") {\n"
    "    tooltip_x = e.pageX;\n"
    "    tooltip_y = e.pageY;\n"
    "  } else {\n"
    "    tooltip_x = e.clientX + document.documentElement.scrollLeft;\n"
    "    tooltip_y = e.clientY + document.documentElement.scrollTop;\n"
    "  }\n"
    "  if (tooltip_shown) tooltip_place();\n"
    "}\n"
    "function EnterContent(title, text) {\n"
    "  var tip = document.getElementById(\"ToolTip\");\n"
    "  if (!tip) return;\n"
    "  tip.innerHTML = '<table class=\"tooltip\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\">' +\n"
    "    '<tr><td class=\"tooltiphead\">' + title + '</td></tr>' +\n"
    "    '<tr><td class=\"tooltipbody\">' + text + '</td></tr></table>';\n"
    "}\n"
    "function Activate() {\n"
    "  var tip = document.getElementById(\"ToolTip\");\n"
    "  if (!tip) return;\n"
    "  tooltip_shown = true;\n"
    "  tooltip_place();\n"
    "  tip.style.visibility = \"visible\";\n"
    "}\n"
    "function deActivate() {\n"
    "  var tip = document.getElementById(\"ToolTip\");\n"
    "  tooltip_shown = false;\n"
    "  if (tip) tip.style.visibility = \"hidden\";\n"
    "}\n"
    "//-->\n"
    "</script>\n";

static const char proxy_pac[] =
    "function FindProxyForURL(url, host)\n"
    "{\n"
    "    return \"PROXY @INTERFACE@:@PORT@;DIRECT\";\n"
    "}\n";

#define BINARY_LENGTH(data) ((int)sizeof(data) - 1)

const TEMPLATE_PAGE PAGES[] = {
    {"unknown", PAGE("Error", "Error"), "text/html", -1, 1},
    {"badrequest", PAGE("Bad Request", "Bad Request"), "text/html", -1, 1},
    {"badresponse", PAGE("Bad Response", "Bad Response"), "text/html", -1, 1},
    {"nodns", PAGE("DNS Lookup failed", "DNS Lookup for @HTTP_HOST@ failed"), "text/html", -1, 1},
    {"nofile", PAGE("File not found", "@HTTP_FILE@ not found"), "text/html", -1, 1},
    {"nocache", PAGE("Cache file not found", "@URL@ not found"), "text/html", -1, 1},
    {"noconnect", PAGE("Connection failed", "Connection to @HTTP_HOST@:@HTTP_PORT@ failed"), "text/html", -1, 1},
    {"blocked", PAGE("Page Blocked", "@URL@ is blocked"), "text/html", -1, 1},
    {"blacklisted", PAGE("Page blacklisted", "@URL@ is in the blacklisted @CATEGORY@ category"), "text/html", -1, 1},
    {"virus", PAGE("Virus", "@AVSCANNER@ detected:<br>\n<font color=\"red\">@VIRUSNAME@</font><br>\nin<br>\n@URL@"),
     "text/html", -1, 1},
    {"badprotocol", PAGE("Protocol not implemented", "Protocol not implemented"), "text/html", -1, 1},
    {"noaccess", PAGE("Access denied", "Access denied"), "text/html", -1, 1},
    {"badauth", PAGE("Authorization failed", "Authorization failed"), "text/html", -1, 1},
    {"downloadlimit",
     PAGE("Download transfer limit exceeded", "You have exceeded your download limit of @DOWNLOADLIMIT@ bytes"),
     "text/html", -1, 1},
    {"uploadlimit",
     PAGE("Upload transfer limit exceeded", "You have exceeded your upload limit of @UPLOADLIMIT@ bytes"), "text/html",
     -1, 1},
    {"maxrequests", PAGE("Request limit exceeded", "Request limit exceeded"), "text/html", -1, 1},
    {"imgfilter",
     PAGE("Possible pornographic image",
          "Possible porn detected, scored @IMAGESCORE@ with a threshold of @IMAGETHRESHOLD@"),
     "text/html", -1, 1},
    {"downloading",
     PAGE_WITH("Download in progress", "<meta http-equiv=\"refresh\" content=\"1; URL=@URL@\">\n",
               "Transferred @TRANSFERRED@ of @SIZE@ bytes<!-- stored @MTIME@ -->"),
     "text/html", -1, 1},
    {"proxy.pac", proxy_pac, "application/x-ns-proxy-autoconfig", -1, 1},
    {"interfacehead", INTERFACE_HEAD, "text/html", -1, 1},
    {"tinygif", tinygif_data, "image/gif", BINARY_LENGTH(tinygif_data), 0},
    {"logo1", logo1_data, "image/gif", BINARY_LENGTH(logo1_data), 0},
    {"logo", logo_data, "image/gif", BINARY_LENGTH(logo_data), 0},
    {"checkeredgif", checkeredgif_data, "image/gif", BINARY_LENGTH(checkeredgif_data), 0},
    {"tinyswf", tinyswf_data, "application/x-shockwave", BINARY_LENGTH(tinyswf_data), 0},
    {"empty", "", "text/plain", 0, 0},
    {"uparrow", uparrow_data, "image/gif", BINARY_LENGTH(uparrow_data), 0},
    {"downarrow", downarrow_data, "image/gif", BINARY_LENGTH(downarrow_data), 0},
    {"interface.css", interface_css, "text/plain", -1, 0},
    {"tooltip", tooltip_js, "text/plain", -1, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};
