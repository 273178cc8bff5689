// Runs one of Corvane's operations on real files and prints how long it took
// in milliseconds, so benchmark scripts can set it against wimlib-imagex.
//   corvane_bench delete WIM INDEX
//   corvane_bench info WIM
//   corvane_bench change WIM INDEX DESCRIPTION [check]   (the Change operation)
//   corvane_bench xml FILE ROUNDS      (parse and write a UTF-8 XML file)
//   corvane_bench hive FILE software|system MB
//                                      (a sample hive padded to about MB)
//   corvane_bench probe WIM SOURCE TEMP
//                                      (the offline Windows probe on image 1)
//   corvane_bench mount WIM INDEX DIR ro|rw
//   corvane_bench unmount DIR commit|discard
//   corvane_bench exclusion PATHS      (the capture's exclusion test alone,
//                                      nanoseconds per path)
//   corvane_bench capture SOURCE WIM    (a new WIM, LZX, as the Capture page does)
//   corvane_bench apply WIM INDEX FOLDER
//   corvane_bench export WIM INDEX DESTINATION lzx|xpress|none|lzms
//   corvane_bench split WIM FIRST_PART MEGABYTES
//                                      (the layer's split, any part size)
//   corvane_bench verify WIM           (every image read back against its hashes)
//   corvane_bench optimize WIM         (the file rebuilt in place)
#include "base/log.h"
#include "base/task_state.h"
#include "capture_config/capture_config.h"
#include "capture_config/path_match.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "metadata/windows_probe.h"
#include "metadata/xml.h"
#include "operations/capture_messages.h"
#include "operations/operations.h"
#include "tests/support/hive_writer.h"

#include <mmsystem.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <time.h>

namespace {

double Milliseconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double ThreadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

WString DosPath(const char* unixPath)
{
    WCHAR* dos = wine_get_dos_file_name(unixPath);
    WString path = dos ? dos : WString();
    if (dos)
        HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

int Usage()
{
    std::fprintf(
        stderr,
        "usage: corvane_bench delete WIM INDEX | info WIM | change WIM INDEX DESCRIPTION [check] | "
        "xml FILE ROUNDS | hive FILE software|system MB | probe WIM SOURCE TEMP | "
        "mount WIM INDEX DIR ro|rw | unmount DIR commit|discard | exclusion PATHS | capture SOURCE WIM | "
        "apply WIM INDEX FOLDER | export WIM INDEX DESTINATION lzx|xpress|none|lzms | "
        "split WIM FIRST_PART MEGABYTES | verify WIM | optimize WIM\n");
    return 2;
}

// The inclusion test of every scanned path during a capture, without the
// library: 64 exclusions (the 11 defaults and 53 more of every kind) and 64
// exceptions, over paths of which one in eight matches an exclusion and half
// of those an exception too. Prints nanoseconds per path.
int BenchExclusion(TaskState& task, long paths)
{
    task.captureConfigFile.clear();
    LoadCaptureConfig(task);
    // The exclusion that matches sits at the end of the list, and so does the
    // exception that saves, so those paths are tried against every entry.
    for (int i = 0; task.exclusions.count < 63; ++i) {
        std::string pattern = i % 3 == 0   ? "*.tmp" + std::to_string(i)
                              : i % 3 == 1 ? "cache" + std::to_string(i) + "\\*"
                                           : "\\build\\out" + std::to_string(i) + "\\*.obj";
        AddUniquePattern(task.exclusions, WideFromUtf8(pattern));
    }
    AddUniquePattern(task.exclusions, WSTR("*.bench"));
    for (int i = 0; task.exclusionExceptions.count < 64; ++i) {
        std::string pattern =
            i % 2 == 0 ? "\\keep" + std::to_string(i) + "\\*" : "keep" + std::to_string(i) + "\\*";
        AddUniquePattern(task.exclusionExceptions, WideFromUtf8(pattern));
    }

    std::vector<WString> samples;
    for (int i = 0; i < 4096; ++i) {
        WString path = WSTR("C:\\Users\\admin\\source\\project") + DecimalText(i % 37);
        for (int depth = 0; depth < 2 + i % 6; ++depth)
            path += WSTR("\\module") + DecimalText((i + depth) % 11);
        if (i % 16 == 0)
            path += WSTR("\\keep63\\report") + DecimalText(i) + WSTR(".BENCH");
        else if (i % 16 == 1)
            path += WSTR("\\report") + DecimalText(i) + WSTR(".bench");
        else
            path += WSTR("\\Source File ") + DecimalText(i) + WSTR(".cpp");
        samples.push_back(path);
    }
    long excluded = 0;
    // CPU time of this thread: the machine may be shared, and waiting for a
    // core is not the test's cost.
    double start = ThreadCpuNanoseconds();
    auto wallStart = std::chrono::steady_clock::now();
    for (long n = 0; n < paths; ++n) {
        PathParts parts;
        BuildPathParts(parts, samples[static_cast<size_t>(n) % samples.size()].c_str());
        if (PathMatchesList(parts, task.exclusions) && !PathMatchesList(parts, task.exclusionExceptions))
            ++excluded;
    }
    double elapsed = ThreadCpuNanoseconds() - start;
    double wall = Milliseconds(wallStart) * 1e6;
    std::printf("%ld paths, %ld excluded, %d exclusions, %d exceptions\n", paths, excluded,
                task.exclusions.count, task.exclusionExceptions.count);
    std::printf("%.1f ns per path (thread CPU time), %.1f ns wall\n", elapsed / static_cast<double>(paths),
                wall / static_cast<double>(paths));
    return excluded > 0 ? 0 : 1;
}

}  // namespace

extern "C" int main(int argc, char** argv)
{
    g_instance = GetModuleHandleW(nullptr);
    if (argc < 3)
        return Usage();
    std::string verb = argv[1];
    TaskState& task = Task();
    ShowXmlParseFailure = [](TaskState&) { std::fprintf(stderr, "image XML could not be read\n"); };

    if (verb == "exclusion" && argc == 3)
        return BenchExclusion(task, std::atol(argv[2]));
    if (verb == "delete" && argc == 4) {
        task.deleteSource = DosPath(argv[2]);
        task.deleteIndex = std::atoi(argv[3]);
        task.startTime = timeGetTime();
        auto start = std::chrono::steady_clock::now();
        bool ok = RunDelete(task);
        std::printf("%.1f\n", Milliseconds(start));
        return ok ? 0 : 1;
    }
    if (verb == "change" && (argc == 5 || argc == 6)) {
        task.changeSource = DosPath(argv[2]);
        task.changeIndex = std::atoi(argv[3]);
        task.changeDescription = WideFromUtf8(argv[4]);
        task.changeCheck = argc == 6 && std::string(argv[5]) == "check";
        task.startTime = timeGetTime();
        auto start = std::chrono::steady_clock::now();
        bool ok = RunChange(task);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s\n", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "mount" && argc == 6) {
        task.mountSource = DosPath(argv[2]);
        task.mountIndex = std::atoi(argv[3]);
        task.mountPath = DosPath(argv[4]);
        task.mountReadWrite = std::string(argv[5]) == "rw";
        auto start = std::chrono::steady_clock::now();
        bool ok = RunMount(task);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s\n", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "unmount" && argc == 4) {
        task.mountPath = DosPath(argv[2]);
        task.unmountCommit = std::string(argv[3]) == "commit";
        auto start = std::chrono::steady_clock::now();
        bool ok = RunUnmount(task);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s\n", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "capture" && argc == 4) {
        // The Capture page as a user leaves it for a plain capture: LZX, no
        // verification, the program's default texts.
        task.captureSource = DosPath(argv[2]);
        task.captureDestination = DosPath(argv[3]);
        task.captureVerify = false;
        task.startTime = timeGetTime();
        auto start = std::chrono::steady_clock::now();
        bool ok = RunCapture(task, false);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s\n", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if ((verb == "verify" || verb == "optimize") && argc == 3) {
        task.infoSource = DosPath(argv[2]);
        task.startTime = timeGetTime();
        const bool ok = verb == "verify" ? RunVerify(task) : RunOptimize(task);
        if (!ok)
            std::fprintf(stderr, "%s\n", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "info" && argc == 3) {
        task.infoSource = DosPath(argv[2]);
        WString report;
        auto start = std::chrono::steady_clock::now();
        bool ok = BuildInfoReportText(task, report);
        std::printf("%.1f\n", Milliseconds(start));
        return ok ? 0 : 1;
    }
    if (verb == "xml" && argc == 4) {
        std::ifstream file(argv[2], std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        WString text = WideFromUtf8(bytes.str());
        int rounds = std::atoi(argv[3]);
        double parseMs = 0, writeMs = 0;
        size_t written = 0;
        for (int i = 0; i < rounds; ++i) {
            XmlDocument* document = CreateDocument();
            auto start = std::chrono::steady_clock::now();
            if (!ParseXml(document, text.c_str())) {
                std::fprintf(stderr, "parse failed\n");
                return 1;
            }
            parseMs += Milliseconds(start);
            WString output;
            start = std::chrono::steady_clock::now();
            WriteXml(document, document->root, output, 0);
            writeMs += Milliseconds(start);
            written = output.size();
            DestroyDocument(document);
        }
        double megabytes = static_cast<double>(text.size() * sizeof(WCHAR)) / (1024.0 * 1024.0);
        std::printf("input %.2f MB (UTF-16), output %zu units\n", megabytes, written);
        std::printf("parse %.1f MB/s, write %.1f MB/s\n", megabytes * rounds / (parseMs / 1000.0),
                    megabytes * rounds / (writeMs / 1000.0));
        return 0;
    }
    if (verb == "hive" && argc == 5) {
        // Padding in keys of ten 600-byte values, 25 keys per group, as
        // installed software fills a real hive. The groups hang below a key
        // the probe passes through (Microsoft, Control), which in a real
        // hive has hundreds of subkeys.
        const bool system = std::string(argv[3]) == "system";
        std::vector<HiveValue> values = system ? SampleSystem() : SampleSoftware();
        const std::string parent = system ? "ControlSet001\\Control\\" : "Microsoft\\";
        const long long target = std::atoll(argv[4]) * 1024 * 1024;
        const std::string data(600, 'x');
        for (long long i = 0; i * 10 * 700 < target; ++i) {
            std::string key = parent + "Group" + std::to_string(i / 25) + "\\Key" + std::to_string(i % 25);
            for (int v = 0; v < 10; ++v)
                values.push_back({key, "Value" + std::to_string(v), REG_BINARY, data});
        }
        return WriteHive(argv[2], values) ? 0 : 1;
    }
    if (verb == "apply" && argc == 5) {
        task.applySource = DosPath(argv[2]);
        task.applyIndex = std::atoi(argv[3]);
        task.applyDestination = DosPath(argv[4]);
        task.applyVerify = false;
        task.startTime = timeGetTime();
        auto start = std::chrono::steady_clock::now();
        bool ok = RunApply(task);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "export" && argc == 6) {
        const std::string kind = argv[5];
        const UINT textId = kind == "lzx" ? 140 : kind == "xpress" ? 139 : kind == "lzms" ? 243 : 138;
        WCHAR text[kTextBufferSize];
        LoadTableString(textId, text);
        task.exportSource = DosPath(argv[2]);
        task.exportIndex = std::atoi(argv[3]);
        task.exportDestination = DosPath(argv[4]);
        task.exportCompression = text;
        task.startTime = timeGetTime();
        auto start = std::chrono::steady_clock::now();
        bool ok = RunExport(task);
        std::printf("%.1f\n", Milliseconds(start));
        if (!ok)
            std::fprintf(stderr, "%s", Utf8FromWide(task.logText).c_str());
        return ok ? 0 : 1;
    }
    if (verb == "split" && argc == 5) {
        auto start = std::chrono::steady_clock::now();
        DWORD created = 0;
        HANDLE wim =
            WIMCreateFile(DosPath(argv[2]).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, &created);
        LARGE_INTEGER size;
        size.QuadPart = std::atoll(argv[4]) * 1048576LL;
        bool ok = wim != nullptr && WIMSplitFile(wim, DosPath(argv[3]).c_str(), &size, 0);
        if (wim != nullptr)
            WIMCloseHandle(wim);
        std::printf("%.1f\n", Milliseconds(start));
        return ok ? 0 : 1;
    }
    if (verb == "probe" && argc == 5) {
        DWORD created = 0;
        HANDLE wim = WIMCreateFile(DosPath(argv[2]).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                   WIM_OPEN_EXISTING, 0, 0, &created);
        HANDLE image = wim ? WIMLoadImage(wim, 1) : nullptr;
        if (image == nullptr) {
            std::fprintf(stderr, "cannot open image 1 of %s\n", argv[2]);
            return 1;
        }
        auto start = std::chrono::steady_clock::now();
        ProbeOfflineWindows(task, image, DosPath(argv[3]).c_str(), DosPath(argv[4]).c_str());
        std::printf("%.1f\n", Milliseconds(start));
        WIMCloseHandle(image);
        WIMCloseHandle(wim);
        return 0;
    }
    return Usage();
}
