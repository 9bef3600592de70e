#include "support/TestVectors.h"

#include <fstream>
#include <stdexcept>

namespace orvel::test {
namespace {

std::ifstream open(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("missing test vectors: " + path);
  return in;
}

std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

}  // namespace

nlohmann::json testDataFile(const std::string& relativePath) {
  auto in = open(std::string(ORVEL_TEST_DATA_DIR) + "/" + relativePath);
  return nlohmann::json::parse(in);
}

std::vector<VectorRecord> vectorFile(const std::string& relativePath, const std::string& recordKey) {
  auto in = open("/usr/lib/python3/dist-packages/cryptography_vectors/" + relativePath);
  std::vector<VectorRecord> records;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = trimmed(line.substr(0, equals));
    if (key == recordKey) records.push_back({{"section", section}});
    if (!records.empty()) records.back()[key] = trimmed(line.substr(equals + 1));
  }
  return records;
}

}  // namespace orvel::test
