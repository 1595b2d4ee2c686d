#include "station/port_order.h"

#include <algorithm>

namespace station {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      const std::size_t iEnd = a.find_first_not_of("0123456789", i);
      const std::size_t jEnd = b.find_first_not_of("0123456789", j);
      std::string x = a.substr(i, iEnd == std::string::npos ? std::string::npos : iEnd - i);
      std::string y = b.substr(j, jEnd == std::string::npos ? std::string::npos : jEnd - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
      if (x.size() != y.size()) {
        return x.size() < y.size();
      }
      if (x != y) {
        return x < y;
      }
      i = iEnd == std::string::npos ? a.size() : iEnd;
      j = jEnd == std::string::npos ? b.size() : jEnd;
      continue;
    }
    if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    }
    ++i;
    ++j;
  }
  if ((i < a.size()) != (j < b.size())) {
    return j < b.size();
  }
  return a < b;  // "01" and "1": equal by value, still two ports
}

bool PortOrder::operator()(const std::string& a, const std::string& b) const {
  const auto ia = std::find(fixture_.begin(), fixture_.end(), a);
  const auto ib = std::find(fixture_.begin(), fixture_.end(), b);
  if (ia != ib) {
    return ia < ib;  // a listed port before an unlisted one (end())
  }
  return ia == fixture_.end() && NaturalLess(a, b);
}

}  // namespace station
