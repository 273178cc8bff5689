// Counts the notices for image XML that cannot be read, in place of the
// message box, for as long as it lives.
#pragma once

#include "metadata/image_info.h"

class XmlNoticeCounter {
public:
    XmlNoticeCounter() : previous_(ShowXmlParseFailure)
    {
        shown = 0;
        ShowXmlParseFailure = [](TaskState&) { ++shown; };
    }
    ~XmlNoticeCounter() { ShowXmlParseFailure = previous_; }
    XmlNoticeCounter(const XmlNoticeCounter&) = delete;
    XmlNoticeCounter& operator=(const XmlNoticeCounter&) = delete;

    int count() const { return shown; }

private:
    static inline int shown = 0;
    void (*previous_)(TaskState&);
};
