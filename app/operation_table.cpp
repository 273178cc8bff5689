#include "app/operation_table.h"

#include "operations/operations.h"

namespace {

bool RunCaptureNew(TaskState& task)
{
    return RunCapture(task, false);
}
bool RunCaptureAppend(TaskState& task)
{
    return RunCapture(task, true);
}

// One row per page button; the fields say how the window behaves around it.
const OperationEntry kOperations[] = {
    {.commandId = 1019,
     .run = RunCaptureNew,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false},
    {.commandId = 1020,
     .run = RunCaptureAppend,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false},
    {.commandId = 1025,
     .run = RunApply,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
    {.commandId = 1046,
     .run = RunChange,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1060,
     .run = RunMount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1061,
     .run = RunUnmount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1067,
     .run = RunDelete,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1081,
     .run = RunExport,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
    {.commandId = 1105,
     .run = RunSplit,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
};

}  // namespace

const OperationEntry* FindOperation(UINT commandId)
{
    for (const OperationEntry& entry : kOperations) {
        if (entry.commandId == commandId)
            return entry.run != nullptr ? &entry : nullptr;
    }
    return nullptr;
}

INT_PTR RunProgressWindow(HWND owner, UINT commandId)
{
    return RunProgressWindow(owner, FindOperation(commandId));
}
