// Basic types shared by every deliverable and the platform layer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A window handle is an opaque, pointer-sized id from the platform's window
// registry; a null window receives nothing.
typedef void* HWND;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

#ifdef __cplusplus
}
#endif

// Fixed text sizes used throughout the system.
#define VORLANE_MAX_PATH 260
