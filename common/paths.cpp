#include <cstdlib>
#include <string>

#include "common/paths.h"

namespace vantrel::paths {

std::string SysRoot() {
  const char* env = std::getenv("VANTREL_SYSROOT");
  if (env == nullptr || *env == '\0') return std::string(1, '/');
  std::string root(env);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string SysPath(const std::string& absolute) {
  const std::string root = SysRoot();
  std::string rel = absolute;
  if (rel.empty() || rel.front() != '/') rel.insert(rel.begin(), '/');
  if (root == "/") return rel;
  return root + rel;
}

}  // namespace vantrel::paths
