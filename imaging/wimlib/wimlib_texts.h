// What wimlib prints about a failure, read back as texts (the library names
// the file it failed on only there).
#pragma once

#include "imaging/wimlib/layer.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace layer {

// wimlib prints what went wrong, naming the file, only as text. While one
// call runs its texts go to a file of their own and are read afterwards.
// The setting is the library's, so one call at a time holds it.
class WimlibTexts {
public:
    WimlibTexts() : hold_(Lock())
    {
        file_ = tmpfile();
        if (file_ != nullptr)
            wimlib_set_error_file(file_);
    }
    ~WimlibTexts()
    {
        // Setting the file turns printing on again.
        wimlib_set_error_file(stderr);
        wimlib_set_print_errors(false);
        if (file_ != nullptr)
            fclose(file_);
    }
    WimlibTexts(const WimlibTexts&) = delete;
    WimlibTexts& operator=(const WimlibTexts&) = delete;

    struct Text {
        bool warning;
        std::string text;
    };

    // The messages printed so far, continuation lines joined to their first.
    std::vector<Text> Read()
    {
        std::vector<Text> texts;
        if (file_ == nullptr)
            return texts;
        fflush(file_);
        rewind(file_);
        char line[4096];
        while (fgets(line, sizeof line, file_) != nullptr) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            // wimlib starts a message with a carriage return, to end a
            // progress line it may have left on a terminal.
            text.erase(0, text.find_first_not_of('\r'));
            if (text.rfind("[ERROR] ", 0) == 0) {
                texts.push_back({false, text.substr(8)});
            } else if (text.rfind("[WARNING] ", 0) == 0) {
                texts.push_back({true, text.substr(10)});
            } else if (!texts.empty()) {
                const size_t start = text.find_first_not_of(' ');
                if (start != std::string::npos)
                    texts.back().text += " " + text.substr(start);
            }
        }
        return texts;
    }

private:
    static std::unique_lock<std::mutex> Lock()
    {
        static std::mutex lock;
        return std::unique_lock<std::mutex>(lock);
    }
    std::unique_lock<std::mutex> hold_;
    FILE* file_ = nullptr;
};

// The path in a text's first pair of double quotes ("Can't open \"/x\": ..."),
// or empty.
std::string QuotedPathIn(const std::string& text);

}  // namespace layer
