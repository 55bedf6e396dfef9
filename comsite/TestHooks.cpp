// The test build's hooks (DormexSiteTest.dll only): the injected fault, the call record, the
// program directory and type library the tests chose, and the exports that set them.
#include "TestHooks.h"

#include <utility>
#include <vector>

namespace dormexsite {
namespace {

// Interface tables by kind, for the hook that moves a slot.
const InterfaceInfo* g_interfaces[8] = {};

// The injected fault and the call record (one apartment thread uses the server).
struct Fault {
    Iface kind = Iface::TopLevel;
    int position = 0;
    FaultMode mode = FaultMode::None;
    HRESULT status = S_OK;
    bool hasDescription = false;
    std::wstring description;
};
Fault g_fault;
std::vector<int> g_calls;
std::wstring g_programDirectory;
int g_declaration = 1;

void swapSlots(Iface kind, int a, int b) {
    const int index = static_cast<int>(kind);
    if (index < 1 || index > 6 || !g_interfaces[index]) return;
    Slot* table = const_cast<Slot*>(g_interfaces[index]->table);
    std::swap(table[kOwnBase + a], table[kOwnBase + b]);
}

}  // namespace

FaultMode faultAt(Iface kind, int position) {
    return g_fault.mode != FaultMode::None && g_fault.kind == kind && g_fault.position == position
               ? g_fault.mode
               : FaultMode::None;
}

HRESULT faultStatus() {
    return g_fault.status;
}

const std::wstring* faultDescription() {
    return g_fault.hasDescription ? &g_fault.description : nullptr;
}

void recordCall(Iface kind, int position) {
    if (kind == Iface::TopLevel || kind == Iface::Collection || kind == Iface::Card)
        g_calls.push_back(static_cast<int>(kind) * 1000 + position);
}

std::wstring programDirectory() {
    return g_programDirectory.empty() ? executableDirectory() : g_programDirectory;
}

int declaration() {
    return g_declaration;
}

bool registerInterface(const InterfaceInfo* info) {
    g_interfaces[static_cast<int>(info->kind)] = info;
    return true;
}

}  // namespace dormexsite

using namespace dormexsite;

LONG WINAPI DormexSiteLiveObjects(int kind) {
    return kind >= 1 && kind <= 6 ? liveObjectsOf(static_cast<Iface>(kind)) : liveObjects();
}

int WINAPI DormexSiteTakeCalls(int* out, int capacity) {
    const int count = static_cast<int>(g_calls.size());
    for (int i = 0; out && i < count && i < capacity; ++i) out[i] = g_calls[static_cast<size_t>(i)];
    g_calls.clear();
    return count;
}

void WINAPI DormexSiteInject(int kind, int position, int mode, HRESULT status,
                             const wchar_t* description) {
    g_fault = Fault{};
    g_fault.kind = static_cast<Iface>(kind);
    g_fault.position = position;
    g_fault.mode = static_cast<FaultMode>(mode);
    g_fault.status = status;
    g_fault.hasDescription = description != nullptr;
    if (description) g_fault.description = description;
}

void WINAPI DormexSiteMoveSlot(int kind, int a, int b) {
    swapSlots(static_cast<Iface>(kind), a, b);
}

void WINAPI DormexSiteDeclare(int library) {
    g_declaration = library;
}

void WINAPI DormexSiteSetProgramDirectory(const wchar_t* directory) {
    g_programDirectory = directory ? directory : L"";
    if (!g_programDirectory.empty() && g_programDirectory.back() != L'\\' &&
        g_programDirectory.back() != L'/')
        g_programDirectory += L'\\';
}
