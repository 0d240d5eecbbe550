# Writes a C++ file that holds another file's bytes, for a program that
# carries a text of its own (the service's page) without reading it at run
# time. GCC 12 has no #embed.
# Usage: cmake -DINPUT=page.html -DOUTPUT=page_text.cpp -DNAMESPACE=a::b
#              -DSYMBOL=kPageText -P embed_file.cmake
# It defines `extern const unsigned char SYMBOL[]` and
# `extern const std::size_t SYMBOL_size` in NAMESPACE.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# 16 bytes a line, so that the file stays readable in a diff.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name ${INPUT} NAME)
file(WRITE ${OUTPUT}.new
    "// Generated from ${name} at build time: do not edit.\n"
    "#include <cstddef>\n\n"
    "namespace ${NAMESPACE} {\n\n"
    "extern const unsigned char ${SYMBOL}[];\n"
    "extern const std::size_t ${SYMBOL}_size;\n\n"
    "const unsigned char ${SYMBOL}[] = {\n    ${bytes}0x00};\n"
    "const std::size_t ${SYMBOL}_size = ${size};\n\n"
    "}  // namespace ${NAMESPACE}\n")
# Rewritten only when it changes, so that nothing rebuilds for nothing.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
