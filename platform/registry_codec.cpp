// The registry's typed forms: the bytes Windows keeps for strings, numbers and
// multi-strings, and the setters built on them.
#include "platform/registry.h"

std::string RegEncodeSz(const std::string& text) {
  std::string out = text;
  out += '\0';
  return out;
}

std::string RegEncodeDword(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[size_t(i)] = char((v >> (8 * i)) & 0xff);
  return out;
}

std::string RegEncodeMultiSz(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (item.empty()) continue;  // an empty string would end the list early
    out += item;
    out += '\0';
  }
  out += '\0';
  return out;
}

std::string RegDecodeSz(const std::string& data) {
  size_t zero = data.find('\0');
  return zero == std::string::npos ? data : data.substr(0, zero);
}

std::vector<std::string> RegDecodeMultiSz(const std::string& data) {
  std::vector<std::string> items;
  size_t i = 0;
  while (i < data.size()) {
    size_t zero = data.find('\0', i);
    if (zero == std::string::npos) zero = data.size();
    if (zero == i) break;  // the empty string that ends the list
    items.push_back(data.substr(i, zero - i));
    i = zero + 1;
  }
  return items;
}

bool RegDecodeDword(const std::string& data, uint32_t& v) {
  if (data.size() != 4) return false;
  v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(data[size_t(i)]);
  return true;
}

bool RegSetString(const std::string& key, const std::string& name, const std::string& text) {
  return RegSetValue(key, name, kRegSz, RegEncodeSz(text));
}

bool RegSetDword(const std::string& key, const std::string& name, uint32_t v) {
  return RegSetValue(key, name, kRegDword, RegEncodeDword(v));
}

bool RegSetMultiString(const std::string& key, const std::string& name,
                       const std::vector<std::string>& items) {
  return RegSetValue(key, name, kRegMultiSz, RegEncodeMultiSz(items));
}
