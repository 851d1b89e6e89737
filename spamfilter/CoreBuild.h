// The filter core is built twice from the same sources: for the window, and
// with KELVO_CONSOLE_BUILD for the console, whose records carry more fields.
// The console build lives in an inline namespace of its own, so none of its
// symbols is one of the window build's: a program that links both gets two
// separate cores, never one that mixes the two record layouts. Every file
// of the core opens KELVO_CORE_BEGIN after its includes and closes it with
// KELVO_CORE_END.
#pragma once

#ifdef KELVO_CONSOLE_BUILD
#define KELVO_CORE_BEGIN inline namespace console_build {
#define KELVO_CORE_END }
#else
#define KELVO_CORE_BEGIN
#define KELVO_CORE_END
#endif
