# Turns page.html into a C++ source holding it as one constant string.
file(READ ${INPUT} page_hex HEX)
string(LENGTH "${page_hex}" hex_len)
math(EXPR byte_count "${hex_len} / 2")
# Character literals, so that bytes above 0x7F (UTF-8 text) need no narrowing.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," page_bytes "${page_hex}")
file(WRITE ${OUTPUT}
"#include <string_view>\n"
"namespace tesrak::server {\n"
"namespace { constexpr char kPageBytes[] = {${page_bytes} 0}; }\n"
"extern const std::string_view kPageHtml{kPageBytes, ${byte_count}};\n"
"}\n")
