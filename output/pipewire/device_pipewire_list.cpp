// The probe and the sink listing share one short connection: a pw_loop iterated on the caller's
// thread until the server has answered a sync (every registry global comes before that answer)
// or the time limit has passed.
#include "output/pipewire/device_pipewire_list.h"

#include <pipewire/pipewire.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAnswerLimit = std::chrono::milliseconds(1000);
constexpr const char* kDefaultRemote = "pipewire-0";
constexpr const char* kSinkClass = "Audio/Sink";

// Where the library would connect: PIPEWIRE_REMOTE (a name in the runtime directory, or a
// path), else pipewire-0 in PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR.
bool serverSocketExists() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const std::string name = remote != nullptr && *remote != '\0' ? remote : kDefaultRemote;
    std::string path = name;
    if (name.front() != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (dir == nullptr || *dir == '\0') {
            dir = std::getenv("XDG_RUNTIME_DIR");
        }
        if (dir == nullptr || *dir == '\0') {
            return false;
        }
        path = std::string(dir) + "/" + name;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// One connection to the server, driven on the caller's thread.
class Connection {
  public:
    Connection() {
        initPipewireOnce();
        loop = pw_loop_new(nullptr);
        if (loop == nullptr) {
            return;
        }
        context = pw_context_new(loop, nullptr, 0);
        if (context == nullptr) {
            return;
        }
        core = pw_context_connect(context, nullptr, 0);
        if (core != nullptr) {
            pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
        }
    }
    ~Connection() {
        if (registry != nullptr) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core != nullptr) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
        if (context != nullptr) {
            pw_context_destroy(context);
        }
        if (loop != nullptr) {
            pw_loop_destroy(loop);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return core != nullptr; }

    // Collects the sinks of the registry from here on.
    void listSinks() {
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        if (registry != nullptr) {
            pw_registry_add_listener(registry, &registryListener, &kRegistryEvents, this);
        }
    }

    // A round trip: true when the server answered in time and reported no error.
    bool roundTrip() {
        syncSeq = pw_core_sync(core, PW_ID_CORE, 0);
        const auto deadline = Clock::now() + kAnswerLimit;
        pw_loop_enter(loop);
        while (!answered && !failed) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            const int result = pw_loop_iterate(loop, static_cast<int>(left.count()));
            if (result < 0 && result != -EINTR) {
                break;
            }
        }
        pw_loop_leave(loop);
        return answered && !failed;
    }

    std::vector<OutputDeviceInfo> sinks;

  private:
    static void onDone(void* data, uint32_t id, int seq) {
        auto* self = static_cast<Connection*>(data);
        if (id == PW_ID_CORE && seq == self->syncSeq) {
            self->answered = true;
        }
    }
    static void onError(void* data, uint32_t id, int, int, const char*) {
        if (id == PW_ID_CORE) {
            static_cast<Connection*>(data)->failed = true;
        }
    }
    static void onGlobal(void* data, uint32_t, uint32_t, const char* type, uint32_t,
                         const spa_dict* props) {
        if (props == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) {
            return;
        }
        const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        if (mediaClass == nullptr || name == nullptr || std::strcmp(mediaClass, kSinkClass) != 0) {
            return;
        }
        const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
        static_cast<Connection*>(data)->sinks.push_back(
            {std::string("pipewire:") + name, description != nullptr ? description : name});
    }

    static inline const pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = &onDone;
        events.error = &onError;
        return events;
    }();
    static inline const pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &onGlobal;
        return events;
    }();

    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    int syncSeq = 0;
    bool answered = false;
    bool failed = false;
};

}  // namespace

void initPipewireOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        const char* debug = std::getenv("PIPEWIRE_DEBUG");
        if (debug == nullptr || *debug == '\0') {
            pw_log_set_level(SPA_LOG_LEVEL_NONE);
        }
    });
}

bool pipewireServerAnswers() {
    if (!serverSocketExists()) {
        return false;
    }
    Connection connection;
    return connection.connected() && connection.roundTrip();
}

std::vector<OutputDeviceInfo> listPipewireSinks() {
    if (!serverSocketExists()) {
        return {};
    }
    Connection connection;
    if (!connection.connected()) {
        return {};
    }
    connection.listSinks();
    if (!connection.roundTrip()) {
        return {};
    }
    return std::move(connection.sinks);
}
