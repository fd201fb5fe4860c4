// The relay benchmark includes the child process under this name.
#pragma once

#include "uplink/UplinkRig.h"
