// Marks overdue VPN-managed systems unreachable (timeout events 8 and 12).
#pragma once

void updateAgentStatus();
void updateUnreachableVpnClients();
