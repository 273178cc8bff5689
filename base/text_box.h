// Putting a whole text into a report or log box (a multi-line edit with
// both scroll bars).
#pragma once

#include <windows.h>

// Replaces the text of a report box, shown from its start, or of a log box,
// shown at its end, and paints it at once. Wine's edit lays out every line
// as it is set, and a visible box draws both scroll bars at each change of
// its text and again when it scrolls, each bar several milliseconds of
// themed drawing. So the box takes the text hidden, and only the text is
// painted again, its frame with the bars only when they look different.
// A log box that holds the beginning of the new text takes only the rest,
// keeping the user's selection.
void SetReportText(HWND edit, const WCHAR* text);
void SetLogText(HWND edit, const WCHAR* text);
