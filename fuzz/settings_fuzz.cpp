// The settings reader never fails, its writer's text is a document the parser
// accepts, and reading and writing again settles after one round.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/app_config.h"
#include "config/json.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string first = WriteConfigText(ReadConfigText(text));
  JsonValue root;
  Check(ParseJson(first, root) && root.kind == JsonKind::Object);
  const std::string second = WriteConfigText(ReadConfigText(first));
  Check(WriteConfigText(ReadConfigText(second)) == second);
  return 0;
}
