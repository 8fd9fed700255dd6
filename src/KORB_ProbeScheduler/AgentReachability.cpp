// Placeholder so the tree links while this module is being written.
#include "AgentReachability.h"
void updateAgentStatus() {}
void updateUnreachableVpnClients() {}
