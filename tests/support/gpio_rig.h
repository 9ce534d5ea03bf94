#pragma once

// The GPIO lines a daemon test drives: the FUSE emulator on the build machine,
// the kernel's own gpio-sim inside the booted appliance.
#ifdef LUMASET_KERNEL_GPIO
#include "kernel_gpio_rig.h"
using GpioRig = KernelGpioRig;
#else
#include "gpio_sim_rig.h"
using GpioRig = GpioSimRig;
#endif
