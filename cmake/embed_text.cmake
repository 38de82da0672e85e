# Writes OUTPUT, a C++ source whose function FUNCTION returns the text of INPUT, NUL-terminated,
# byte for byte. Run as "cmake -DINPUT=... -DOUTPUT=... -DFUNCTION=... -DHEADER=... -P".
get_filename_component(name "${INPUT}" NAME)
file(READ "${INPUT}" bytes HEX)
# Sixteen bytes a line keep the generated file readable.
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${name}; edit that file instead.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace {\n\nconstexpr char kText[] = {\n${bytes}'\\0'};\n\n}  // namespace\n\n"
  "const char* ${FUNCTION}() { return kText; }\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
