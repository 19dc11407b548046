#include "mm/mm.h"

#include <algorithm>
#include <cstring>

#include "mm/mm_internal.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

MmState g_mm;

dlQueue* lists(MmState& s, int i) {
    dlQueue* all[] = {&s.freeModules, &s.registered, &s.started, &s.freeStacks, &s.stacks};
    return all[i];
}
constexpr int kLists = 5;

MmModule* takeModule(const MmRegisterFields& f) {
    dlQueueNode* node = dlQueueRemoveHead(&g_mm.freeModules);
    if (!node) {
        DEBUG_BREAK(MM_SOURCE);
        ++g_mm.failedRegistrations;
        return nullptr;
    }
    MmModule* module = mmOwner<MmModule>(node);
    *module = MmModule{};
    module->start = f.start;
    module->exit = f.exit;
    module->segmentLength = f.segmentLength;
    module->type = f.type;
    module->name = f.name;
    module->instances = f.instances;
    return module;
}

// A module whose start failed goes back with its segment freed.
void returnModule(MmModule* module) {
    osMemoryRelease(module->segment);
    *module = MmModule{};
    dlQueueAddTail(&g_mm.freeModules, &module->link);
}

void handleRegister(const OsMessage& message) {
    const auto f = osMsgFields<MmRegisterFields>(message);
    TRACE(TRC_STARTUP, "mmHandleModuleRegisterMessage 0x%X", static_cast<unsigned>(f.name));
    if ((f.type & MM_TYPE_PROTOCOL_STACK) && f.instances == 0) {
        if (MmModule* module = takeModule(f)) dlQueueAddTail(&g_mm.registered, &module->link);
        return;
    }
    const int instances = std::max<int>(1, f.instances);
    for (int i = 0; i < instances; ++i) {
        MmModule* module = takeModule(f);
        if (!module) return;
        if (mmExecuteModuleStart(module, mmModuleWord(f.name, 0, static_cast<uint32_t>(i), 0, 0))) {
            dlQueueAddTail(&g_mm.started, &module->link);
        } else {
            ++g_mm.failedRegistrations;
            returnModule(module);
        }
    }
}

void handleLayer1Info(const OsMessage& message) {
    TRACE(TRC_STARTUP, "mmHandleLayer1InfoMessage(), #%d layer 1 info, enter", g_mm.layer1Count);
    if (g_mm.layer1Count < MM_LAYER1_INFO_ENTRIES) g_mm.layer1[g_mm.layer1Count++] = osMsgFields<MmLayer1Info>(message);
    else DEBUG_BREAK(MM_SOURCE);
    TRACE(TRC_STARTUP, "mmHandleLayer1InfoMessage() exit");
}

void handleBuild(const OsMessage& message) {
    TRACE(TRC_STARTUP, "mmHandleBuildProtocolStackReqMessage");
    const auto f = osMsgFields<MmBuildFields>(message);
    MmBuildResult answer{};
    uint16_t result = MM_BUILD_FAILED;
    if (f.descriptor) {
        MmStackDescriptor descriptor;
        std::memcpy(&descriptor, f.descriptor, sizeof descriptor);
        result = mmLinkProtocol(descriptor, &answer);
    } else {
        DEBUG_BREAK(MM_SOURCE);
    }
    if (result != MM_BUILD_OK && (f.flags & MM_BUILD_SILENT_FAILURE)) {
        // Nobody gets the descriptor back: it returns to its pool here.
        if (f.descriptor) osBufferRelease(f.descriptor);
        return;
    }
    if (f.descriptor) std::memcpy(static_cast<void*>(f.descriptor), &answer, sizeof answer);
    OsMessage reply{};
    reply.command = MM_BUILD_ANSWER;
    reply.source = message.source;
    osMsgSetFields(reply, MmBuildAnswerFields{result, f.descriptor});
    osMessageSendByName(&reply, MM_QUEUE_NAME);
}

void handleRelease(const OsMessage& message) {
    MmStackRecord* stack = osMsgFields<MmReleaseFields>(message).stack;
    if (stack) {
        stack->started = false;
        uint16_t bottomQueue = 0;
        if (osQueueFindByName(stack->bottom, &bottomQueue) == OS_OK) {
            for (uint32_t i = 0; i < stack->instances; ++i) {
                OsMessage release{};
                release.command = MM_INSTANCE_RELEASE;
                release.source = MM_QUEUE_NAME;
                osMsgSetFields(release, MmInstanceReleaseFields{mmWordInstance(stack->bottom) + i});
                osMessageSend(bottomQueue, &release);
            }
        }
    } else {
        DEBUG_BREAK(MM_SOURCE);
    }
    OsMessage reply{};
    reply.command = MM_RELEASE_ANSWER;
    reply.source = message.source;
    osMsgSetFields(reply, MmReleaseAnswerFields{0});
    osMessageSendByName(&reply, MM_QUEUE_NAME);
}

void mmTask(void*) {
    OsMessage message{};
    if (osMessageReceive(g_mm.queue, &message) != OS_OK) return;
    switch (message.command) {
    case MM_REGISTER: handleRegister(message); break;
    case MM_BUILD_REQ: handleBuild(message); break;
    case MM_RELEASE_REQ: handleRelease(message); break;
    case MM_LAYER1_INFO: handleLayer1Info(message); break;
    default: break;
    }
}

} // namespace

MmState& mmState() { return g_mm; }

void mmInit() {
    g_mm.queue = 0;
    g_mm.failedRegistrations = 0;
    g_mm.layer1Count = 0;
    for (auto& entry : g_mm.layer1) entry = MmLayer1Info{};
    for (int i = 0; i < kLists; ++i) dlQueueInitLockless(lists(g_mm, i));
    for (auto& module : g_mm.modules) {
        module = MmModule{};
        dlQueueAddTail(&g_mm.freeModules, &module.link);
    }
    g_mm.stack = MmStackRecord{};
    dlQueueAddTail(&g_mm.freeStacks, &g_mm.stack.link);
    if (osQueueFindByName(MM_QUEUE_NAME, &g_mm.queue) != OS_OK &&
        osTaskCreate(nullptr, &mmTask, MM_QUEUE_NAME, &g_mm.queue) != OS_OK)
        DEBUG_BREAK(MM_SOURCE);
    g_mm.initialised = true;
}

OsResult osModuleRegister(OsQueueName name, uint16_t segmentLength, MmStartProc start, MmExitProc exit, uint16_t type) {
    uint16_t queue = 0;
    OsResult result = osQueueFindByName(MM_QUEUE_NAME, &queue);
    if (result != OS_OK) return result;
    OsMessage message{};
    message.command = MM_REGISTER;
    message.source = name;
    osMsgSetFields(message, MmRegisterFields{start, exit, segmentLength, type, mmWordName(name), 0});
    return osMessageSend(queue, &message);
}

void mmDone() {
    if (!g_mm.initialised) return;
    TRACE(TRC_STARTUP, "%s", "mmDone");
    for (dlQueue* list : {&g_mm.registered, &g_mm.started}) {
        while (dlQueueNode* node = dlQueueRemoveHead(list)) {
            MmModule* module = mmOwner<MmModule>(node);
            TRACE(TRC_STARTUP, " mmModuleP %p type 0x%.04X ID 0x%X, data segment length %d", static_cast<void*>(module),
                  static_cast<unsigned>(module->type), static_cast<unsigned>(module->name), static_cast<int>(module->segmentLength));
            if (module->exit) module->exit(module->segment);
            osMemoryRelease(module->segment);
            *module = MmModule{};
        }
    }
    for (int i = 0; i < kLists; ++i) lists(g_mm, i)->lock.destroy();
    g_mm.initialised = false;
}

uint32_t mmFailedRegistrations() { return g_mm.failedRegistrations; }
