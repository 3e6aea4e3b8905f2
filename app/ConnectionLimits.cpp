#include "ConnectionLimits.h"

#include <sys/resource.h>

#include <algorithm>

long tvqRaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return 1L << 20;
  return static_cast<long>(limit.rlim_cur);
}

int tvqConnectionsForDescriptors(long aDescriptors) {
  constexpr long kMargin = 64;
  constexpr long kPerConnection = 2;
  const long connections = (aDescriptors - kMargin) / kPerConnection;
  return static_cast<int>(std::clamp<long>(connections, 1, 1L << 30));
}
