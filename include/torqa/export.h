// Symbol visibility for the binding. The library is built with hidden
// visibility; everything marked TORQA_API is part of its exported interface.
#pragma once

#if defined(_WIN32)
#  if defined(TORQA_BUILDING)
#    define TORQA_API __declspec(dllexport)
#  else
#    define TORQA_API __declspec(dllimport)
#  endif
#else
#  define TORQA_API __attribute__((visibility("default")))
#endif
