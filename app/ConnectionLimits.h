// Public: the limits on connections (--max-connections,
// --max-connections-per-address, --idle-timeout, --frame-timeout), plain
// values with their defaults, and how many connections the descriptors
// allow. Free of the option parser and of the library, so that both the options
// and the window's logic include it.
#pragma once

struct TConnectionLimits {
  // Connections in all (0: as many as the descriptor limit allows).
  int MaxConnections = 0;
  // Connections one address may hold (0: no limit).
  int MaxConnectionsPerAddress = 256;
  // Seconds without input after which a connection is closed; a ping goes
  // out after half of it (0: never; otherwise at least 2).
  int IdleTimeout = 60;
  // Seconds within which a started frame or message must end (0: no limit).
  int FrameTimeout = 30;
};

// Raises the soft limit on open descriptors to the hard one, as servers do,
// and returns the soft limit now in force.
long tvqRaiseDescriptorLimit();

// The connections aDescriptors descriptors carry: each takes two (its socket
// and its wake-up), and a margin stays for the listeners, the log and the
// refused connections that are accepted to be closed.
int tvqConnectionsForDescriptors(long aDescriptors);
