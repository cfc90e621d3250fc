// Placeholder: filled in by its subsystem.
#pragma once
#include "types.h"
