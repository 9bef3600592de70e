#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace orvel::test {

// A JSON file of the project's test data (tests/data), parsed; throws when it is missing.
nlohmann::json testDataFile(const std::string& relativePath);
// A Wycheproof file of the test data, parsed.
inline nlohmann::json wycheproofFile(const std::string& name) { return testDataFile("wycheproof/" + name); }

// One record of a "KEY = value" vector file (RFC and NIST formats); the
// enclosing "[SECTION]" header, if any, is under the key "section".
using VectorRecord = std::map<std::string, std::string>;

// The records of a vector file under the installed cryptography vectors;
// a record starts at each line whose key is `recordKey`. Throws when the file is missing.
std::vector<VectorRecord> vectorFile(const std::string& relativePath, const std::string& recordKey);

}  // namespace orvel::test
