// Appends the metadata footer that DuckDB's extension loader reads from the
// last 512 bytes of a loadable extension: eight 32-byte fields written last
// to first ("4", the platform, the C API version, the extension's version,
// the ABI type, three empty), then a 256-byte signature, empty here (the
// extension is unsigned).
//
//   vantorelle_duckdb_footer FILE PLATFORM API_VERSION EXTENSION_VERSION
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr std::size_t kField = 32;
constexpr std::size_t kSignature = 256;

void put_field(std::string& footer, const std::string& value) {
  std::string field = value.substr(0, kField);
  field.resize(kField, '\0');
  footer += field;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE PLATFORM API_VERSION EXTENSION_VERSION\n", argv[0]);
    return 2;
  }
  const std::array<std::string, 8> fields = {"4", argv[2], argv[3], argv[4], "C_STRUCT", "", "", ""};
  std::string footer;
  for (auto field = fields.rbegin(); field != fields.rend(); ++field) put_field(footer, *field);
  footer.append(kSignature, '\0');
  std::ofstream out(argv[1], std::ios::binary | std::ios::app);
  out.write(footer.data(), static_cast<std::streamsize>(footer.size()));
  if (!out) {
    std::fprintf(stderr, "%s: cannot append the footer to %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
