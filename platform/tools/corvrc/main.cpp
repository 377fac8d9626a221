// corvrc: compiles a resource source file into a C++ file that places the
// resources in the program's "corvres" section.
//
//   corvrc SOURCE -o OUTPUT.cpp
//
// Exit status 0 on success, 1 when the source is wrong (message "file:line:
// what" on standard error), 2 for bad arguments.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "rc_source.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[2], "-o") != 0) {
    std::fputs("usage: corvrc SOURCE -o OUTPUT.cpp\n", stderr);
    return 2;
  }
  const std::string sourcePath = argv[1], outputPath = argv[3];
  std::ifstream in(sourcePath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "corvrc: cannot read %s\n", sourcePath.c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string error;
  const auto source = corvrc::parseRcSource(text.str(), error);
  std::optional<std::vector<BYTE>> container;
  if (source) container = corvrc::compileRcSource(*source, error);
  if (!container) {
    std::fprintf(stderr, "%s:%s\n", sourcePath.c_str(), error.c_str());
    return 1;
  }
  // Write beside the target and rename, so that an interrupted build never
  // leaves a half-written file that looks up to date.
  const std::string temp = outputPath + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << corvrc::generateCpp(*container, sourcePath.substr(sourcePath.find_last_of('/') + 1));
    if (!out.flush()) {
      std::fprintf(stderr, "corvrc: cannot write %s\n", temp.c_str());
      return 1;
    }
  }
  if (std::rename(temp.c_str(), outputPath.c_str()) != 0) {
    std::fprintf(stderr, "corvrc: cannot write %s\n", outputPath.c_str());
    return 1;
  }
  return 0;
}
