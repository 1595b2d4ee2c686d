#pragma once
// The order in which the station lists its ports: the fixture's own order when it gave one,
// otherwise natural order, so that 1-1.2 comes before 1-1.10.

#include <string>
#include <vector>

namespace station {

// Natural order: runs of digits compare by their value, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b);

class PortOrder {
 public:
  PortOrder() = default;
  explicit PortOrder(std::vector<std::string> fixture) : fixture_(std::move(fixture)) {}
  // The fixture's ports first, in its order; then the others in natural order.
  bool operator()(const std::string& a, const std::string& b) const;

 private:
  std::vector<std::string> fixture_;
};

}  // namespace station
