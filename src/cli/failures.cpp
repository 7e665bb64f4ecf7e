#include "cli/failures.h"

#include <cstring>

namespace vantorelle::cli {

std::string file_error(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

}  // namespace vantorelle::cli
