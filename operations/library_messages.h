// Lines for the imaging library's error, retry, information and warning
// messages as the operations' callbacks log them.
#pragma once

#include "base/text.h"

struct TaskState;

// "PREFIX: PATH [err = CODE]" and `suffix`, at most 259 characters: a path
// too long to fit loses its beginning, marked "...", so the item's own name
// stays readable. A null path reads "(null)", as the system formatter has it.
WString CodedMessageLine(WStringView prefix, const WCHAR* path, LPARAM code, WStringView suffix = {});

// The coded line for a library message, or an empty text when `messageId`
// is none of WIM_MSG_ERROR, WIM_MSG_RETRY, WIM_MSG_INFO and WIM_MSG_WARNING;
// for WIM_MSG_LEFTOVER_REMOVED, LeftoverRemovedLine.
WString LibraryMessageLine(DWORD messageId, WPARAM wParam, LPARAM lParam);

// The line for a temporary file of an earlier write that the layer removed
// (WIM_MSG_LEFTOVER_REMOVED, whose WPARAM is the path).
WString LeftoverRemovedLine(WPARAM path);

// "PREFIX PATH    [Code=SYSTEM TEXT]" and a line feed, as the capture and
// mount callbacks log a library message, on a line as long as the path
// needs. A null path is left out.
WString DiagnosticLine(WStringView prefix, WPARAM path, LPARAM code);

// What the callbacks that write an image's files out (apply, extract) answer
// alike: an item counted or, once an abort is asked for, refused; the abort
// question between items, so that an abort need not wait for the end of a
// large file; and the library's retry, information and warning lines.
DWORD AnswerWritingOut(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam);
