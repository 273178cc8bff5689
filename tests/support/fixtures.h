// Test fixtures on real files: scratch folders, shell commands (wimlib-imagex
// makes and checks the WIM files), and the DOS paths the program sees.
#pragma once

#include "base/text.h"

#include <map>
#include <string>

// A new empty folder under /tmp, removed with its contents by the destructor.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A small file system of its own (tmpfs, as root) at `path`, so that writes
// run out of room there; unmounted, lazily, by the destructor.
class SmallDisk {
public:
    SmallDisk(const std::string& path, const std::string& size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

// Runs a shell command; returns its exit status and, when asked, its output.
int Shell(const std::string& command, std::string* output = nullptr);

// The command's output; fails the current test when it does not exit 0.
std::string ShellOutput(const std::string& command);

// Quotes a path for the shell.
std::string Quoted(const std::string& text);

// How many descriptors the process has open: an operation that leaks one
// leaves the count higher.
size_t OpenDescriptorCount();

// The DOS path (Z:\...) Wine gives a Unix path.
WString DosPath(const std::string& unixPath);

// Writes a small tree of files (text and binary) under `folder`, with
// `variant` changing contents so images differ.
void WriteSampleTree(const std::string& folder, int variant);

// A WIM with `images` images named "Image N" with descriptions "Description N",
// captured with wimlib-imagex from sample trees; `options` go to each call
// (e.g. "--compress=none").
void MakeSampleWim(const std::string& wimPath, int images, const std::string& options = "");

// The whole content of a file ("" when it cannot be read).
std::string FileBytes(const std::string& path);

// "Key:   value" lines of wimlib-imagex info: [0] the file's header, [i]
// image i. Only [0], empty, when wimlib-imagex cannot read the file.
std::map<int, std::map<std::string, std::string>> WimlibInfo(const std::string& wim);
