#include "AsyncSocket.h"

// Number of socket components that have started the socket layer.
int WinsockUsers = 0;
