#include "platform/NetworkIdentity.h"

#include <cstdlib>
#include <limits>
#include <sstream>

namespace platform {

std::string DefaultRouteInterfaceIn(const std::string& routeTable) {
  constexpr unsigned long kRouteUp = 0x1;
  std::istringstream lines(routeTable);
  std::string line;
  std::getline(lines, line);  // column titles
  std::string chosen;
  unsigned long lowestMetric = std::numeric_limits<unsigned long>::max();
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, refCount, use, metric, mask;
    if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
    if (destination != "00000000" || mask != "00000000") continue;
    if ((std::strtoul(flags.c_str(), nullptr, 16) & kRouteUp) == 0) continue;
    const unsigned long routeMetric = std::strtoul(metric.c_str(), nullptr, 10);
    if (chosen.empty() || routeMetric < lowestMetric) {
      chosen = name;
      lowestMetric = routeMetric;
    }
  }
  return chosen;
}

}  // namespace platform
