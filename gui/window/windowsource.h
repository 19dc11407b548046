// The window's trace source names and the line of an operation that finds no running NFC.
#pragma once

#define WINDOW_SOURCE(name) "CLumaro::" name

inline constexpr const char kNoInstance[] = "! NFC instance not found";
