// Public: the whole queue family in one include: the generic queues
// (tvqWebSocket_Classes_QueueBase.h) and the ones that hold connections or
// their events (the connection and channel indexes, held-back messages and
// pending events), which tvqWebSocket_Classes.h declares beside the
// connection they need.
#pragma once

#include "tvqWebSocket_Classes.h"
#include "tvqWebSocket_Classes_QueueBase.h"
