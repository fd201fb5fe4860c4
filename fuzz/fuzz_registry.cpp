// Arbitrary bytes as the registry file. Whatever loads must save to a file
// that loads back to the same keys, names, types and bytes (load, save, load
// again: equal), or the next start would lose settings; and nothing reads or
// writes outside a buffer (ASan, UBSan).
// Seeds (fuzz/corpus/registry/): the settings key as the store writes it
// (UTF-16LE with a byte-order mark), regedit 4 exports in the ANSI code page
// with other keys, wrapped hex lists, deletions and comments, and values
// stored with a terminator.
#include <cstdlib>
#include <string_view>

#include "platform/RegistryStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto loaded = ParseRegistryText(DecodeRegistryFile(bytes));
  if (!loaded) return 0;
  const std::string saved = EncodeRegistryFile(FormatRegistryText(*loaded));
  if (ParseRegistryText(DecodeRegistryFile(saved)) != loaded) std::abort();
  return 0;
}
