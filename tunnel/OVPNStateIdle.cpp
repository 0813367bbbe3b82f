#include "tunnel/OVPNStateIdle.h"

#include "tunnel/OVPNThread.h"

void OVPNStateIdle::start() { owner().setStateFind(); }
