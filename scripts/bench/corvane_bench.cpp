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
#include "app/task_state.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "metadata/windows_probe.h"
#include "metadata/xml.h"
#include "operations/operations.h"
#include "tests/support/hive_writer.h"

#include <mmsystem.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

double Milliseconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
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
    std::fprintf(stderr,
                 "usage: corvane_bench delete WIM INDEX | info WIM | change WIM INDEX DESCRIPTION [check] | "
                 "xml FILE ROUNDS | hive FILE software|system MB | probe WIM SOURCE TEMP | "
                 "mount WIM INDEX DIR ro|rw | unmount DIR commit|discard\n");
    return 2;
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
        // Padding in keys of ten 600-byte values, a hundred keys per group,
        // as installed software fills a real hive.
        std::vector<HiveValue> values = std::string(argv[3]) == "system" ? SampleSystem() : SampleSoftware();
        const long long target = std::atoll(argv[4]) * 1024 * 1024;
        const std::string data(600, 'x');
        for (long long i = 0; i * 10 * 700 < target; ++i) {
            std::string key = "Padding\\Group" + std::to_string(i / 100) + "\\Key" + std::to_string(i % 100);
            for (int v = 0; v < 10; ++v)
                values.push_back({key, "Value" + std::to_string(v), REG_BINARY, data});
        }
        return WriteHive(argv[2], values) ? 0 : 1;
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
