#pragma once
// Everything a device plug-in builds against.
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "host/smd_spdevice.h"
#include "host/smd_vdevice.h"
#include "host/types.h"
#include "host/vdevice_interface.h"
