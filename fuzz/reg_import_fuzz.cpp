// Parses arbitrary bytes as a .reg file. Whatever parses must write back as
// .reg text, and that text must parse again and write back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::regfile;
  Document doc;
  Error error;
  if (!parse(std::string_view(reinterpret_cast<const char*>(data), size), &doc, &error)) {
    if (error.message.empty()) std::abort();  // every refusal says why
    return 0;
  }
  std::string text;
  if (!format(doc, &text, &error)) std::abort();  // parsed names are always writable
  Document again;
  if (!parse(text, &again, &error)) std::abort();
  std::string textAgain;
  if (!format(again, &textAgain, &error) || textAgain != text) std::abort();
  return 0;
}
