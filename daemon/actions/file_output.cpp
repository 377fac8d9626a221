#include "actions/file_output.h"

std::string* fileOutputBuffer(const std::string&) { return nullptr; }
void fileLineAppended(const std::string&) {}
void reportFileOutputFailure(const std::string&, std::string_view) {}
void flushFileOutputs() {}
void closeFileOutputs() {}
