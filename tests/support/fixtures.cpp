#include "tests/support/fixtures.h"

#include "tests/gtest_support.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

ScratchFolder::ScratchFolder()
{
    char pattern[] = "/tmp/corvane-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
}

ScratchFolder::~ScratchFolder()
{
    if (!path_.empty())
        Shell("chmod -R u+w " + Quoted(path_) + " 2>/dev/null; rm -rf " + Quoted(path_));
}

SmallDisk::SmallDisk(const std::string& path, const std::string& size) : path_(path)
{
    Shell("mkdir -p " + Quoted(path));
    mounted_ = Shell("mount -t tmpfs -o size=" + size + " tmpfs " + Quoted(path)) == 0;
}

SmallDisk::~SmallDisk()
{
    if (mounted_)
        Shell("umount -l " + Quoted(path_));
}

int Shell(const std::string& command, std::string* output)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char chunk[4096];
    size_t read = 0;
    while ((read = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        text.append(chunk, read);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellOutput(const std::string& command)
{
    std::string output;
    int status = Shell(command, &output);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return output;
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

WString DosPath(const std::string& unixPath)
{
    WCHAR* dos = wine_get_dos_file_name(unixPath.c_str());
    if (dos == nullptr)
        return {};
    WString path = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

void WriteSampleTree(const std::string& folder, int variant)
{
    Shell("mkdir -p " + Quoted(folder + "/sub/deeper") + " " + Quoted(folder + "/empty"));
    std::ofstream(folder + "/readme.txt") << "sample tree " << variant << "\n";
    std::ofstream(folder + "/sub/notes.txt") << std::string(5000 + variant * 100, 'a' + variant % 26);
    std::ofstream binary(folder + "/sub/deeper/data.bin", std::ios::binary);
    for (int i = 0; i < 20000; ++i)
        binary.put(static_cast<char>((i * 7919 + variant) & 0xFF));
}

void MakeSampleWim(const std::string& wimPath, int images, const std::string& options)
{
    std::string base = wimPath + ".trees";
    for (int i = 1; i <= images; ++i) {
        std::string tree = base + "/" + std::to_string(i);
        WriteSampleTree(tree, i);
        std::string verb = i == 1 ? "capture" : "append";
        ShellOutput("wimlib-imagex " + verb + " " + Quoted(tree) + " " + Quoted(wimPath) + " 'Image " +
                    std::to_string(i) + "' 'Description " + std::to_string(i) + "' " + options);
    }
    Shell("rm -rf " + Quoted(base));
}

std::string FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::map<int, std::map<std::string, std::string>> WimlibInfo(const std::string& wim)
{
    std::map<int, std::map<std::string, std::string>> fields;
    fields[0];
    std::string text;
    if (Shell("{ wimlib-imagex info " + Quoted(wim) + " 2>/dev/null; }", &text) != 0)
        return fields;
    std::istringstream lines(text);
    std::string line;
    int image = 0;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, colon);
        const size_t value = line.find_first_not_of(' ', colon + 1);
        if (key == "Index")
            image = std::stoi(line.substr(value));
        fields[image][key] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

size_t OpenDescriptorCount()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}
