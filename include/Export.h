// Marks the plain C functions that a component exports by name.
#pragma once

#ifdef __cplusplus
#define VORLANE_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define VORLANE_EXPORT __attribute__((visibility("default")))
#endif
