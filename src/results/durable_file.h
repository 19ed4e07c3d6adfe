#pragma once
// The durable file steps live in the common library now, so that every
// program and layer saves its files the same way.
#include "common/durable_file.h"
