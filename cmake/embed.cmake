# Turns files into a C++ source with their bytes, so that the simulator carries its
# default printer with it. Run in script mode:
#   cmake -DOUTPUT=out.cpp -DINPUTS="name1=path1|name2=path2" [-DFUNCTION=name] -P embed.cmake
# FUNCTION names the function that returns them (default embedded_files).
if(NOT FUNCTION)
  set(FUNCTION embedded_files)
endif()
set(body "// Generated from files of the source tree; edit those instead.\n#include \"apps/feedbox/embedded_files.h\"\n\nnamespace feedbox {\n\nconst std::vector<EmbeddedFile>& ${FUNCTION}() {\n  static const std::vector<EmbeddedFile> files = {\n")
string(REPLACE "|" ";" INPUTS "${INPUTS}")
foreach(entry ${INPUTS})
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(APPEND body "      {\"${name}\", std::string(\"${escaped}\", ${size})},\n")
endforeach()
string(APPEND body "  };\n  return files;\n}\n\n}  // namespace feedbox\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
