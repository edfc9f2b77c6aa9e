#include "finish/commands.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "finish/delivery_jpeg.h"
#include "finish/descriptor.h"
#include "finish/folder.h"
#include "finish/reply.h"
#include "finish/running_apps.h"

namespace Finish {

namespace {

using nlohmann::json;

constexpr std::string_view renderName = "render.jpg";


std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// ".lock" itself is such a name.
bool endsWithLock(std::string_view name) { return validName(name) && name.ends_with(".lock"); }

bool registeredName(std::string_view name) {
    if (!validName(name)) return false;
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string extension = lowercase(name.substr(dot + 1));
    return extension == "jpg" || extension == "jpeg";
}

bool hasNUL(const std::string& text) { return text.find('\0') != std::string::npos; }

FinishFolder openFolder(const std::string& path, const std::optional<FileIdentity>& expected) {
    // A path with a NUL byte would be cut short by the system call.
    if (hasNUL(path)) {
        if (path.empty() || path[0] != '/') throw FinishFailure("An absolute delivery folder is required");
        throw FinishFailure("Delivery folder is unavailable");
    }
    return FinishFolder(path, expected);
}

// Opens (creating when missing) a lock file in `folder` and takes its lock.
enum class LockResult { cannotOpen, held, taken };
LockResult takeLock(const FinishFolder& folder, const std::string& name, Descriptor& lock) {
    Descriptor fd(::openat(folder.fd(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                           0600));
    if (fd.get() < 0) return LockResult::cannotOpen;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return LockResult::held;
    int rc;
    while ((rc = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) return LockResult::held;
    lock.reset(fd.release());
    return LockResult::taken;
}

json ok() { return {{"ok", true}}; }

int lightroomStatus(Channel& channel) {
    const auto running = applicationRunning(lightroomIdentifier);
    if (!running) throw FinishFailure("Cannot verify running apps; the export notice was kept");
    channel.emit({{"ok", true}, {"running", *running}});
    return 0;
}

int lock(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    if (!endsWithLock(request.name)) throw FinishFailure("Invalid delivery lock");
    Descriptor held;
    switch (takeLock(folder, request.name, held)) {
        case LockResult::cannotOpen: throw FinishFailure("Cannot open delivery lock");
        case LockResult::held: throw FinishFailure("Delivery is already being saved");
        case LockResult::taken: break;
    }
    channel.emit({{"ok", true}, {"ready", true}});
    // Any line, or the end of input, releases the lock.
    channel.readLine();
    return 0;
}

int exportCheck(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    if (!request.source || !request.folderIdentity || !request.lockFolder || !request.lockName ||
        !endsWithLock(*request.lockName))
        throw FinishFailure("Missing existing delivery receipt");
    std::optional<FinishFolder> lockFolder;
    try {
        lockFolder.emplace(openFolder(*request.lockFolder, std::nullopt));
    } catch (const FinishFailure&) {
        throw FinishFailure("Cannot check delivery lock");
    }
    Descriptor held;
    switch (takeLock(*lockFolder, *request.lockName, held)) {
        case LockResult::cannotOpen: throw FinishFailure("Cannot check delivery lock");
        case LockResult::held: throw FinishFailure("Studio is saving this delivery");
        case LockResult::taken: break;
    }
    folder.read(request.name, request.source);
    channel.emit(ok());
    return 0;
}

int inspect(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    const VerifiedRead file = folder.read(request.name, std::nullopt);
    const DeliveryJPEG jpeg = DeliveryJPEG::inspect(file.bytes);
    channel.emit({{"ok", true},
                  {"folderIdentity", object(folder.identity())},
                  {"snapshot", object(file.snapshot)},
                  {"jpeg", object(jpeg)}});
    return 0;
}

int snapshot(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    if (!temporaryName(request.name) || !request.folderIdentity)
        throw FinishFailure("Only Finish temporary snapshots are supported");
    const VerifiedRead file = folder.read(request.name, std::nullopt, true);
    channel.emit({{"ok", true}, {"snapshot", object(file.snapshot)}});
    return 0;
}

int workCreate(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    if (!request.work || !validWork(*request.work) || !request.folderIdentity || request.name != renderName ||
        ::mkdirat(folder.fd(), request.work->c_str(), 0700) != 0)
        throw FinishFailure("Cannot create private Finish working directory");
    folder.sync();
    const FinishFolder work = openWork(folder, *request.work, std::nullopt);
    channel.emit({{"ok", true}, {"identity", object(work.identity())}});
    return 0;
}

// "work-inspect", "publish" and "work-clean".
int workCommand(const FinishRequest& request, const FinishFolder& folder, Channel& channel) {
    const FinishFolder work = openWork(folder, *request.work, request.workIdentity);
    if (request.command == "work-clean") {
        cleanWork(folder, work, *request.work);
        channel.emit(ok());
        return 0;
    }

    const VerifiedRead render = work.read(renderName, request.output);
    const DeliveryJPEG jpeg = DeliveryJPEG::inspect(render.bytes);
    if (request.command == "publish") {
        if (!request.temporary || !temporaryName(*request.temporary) || !request.output ||
            ::renameat2(work.fd(), std::string(renderName).c_str(), folder.fd(), request.temporary->c_str(),
                        RENAME_NOREPLACE) != 0)
            throw FinishFailure("Cannot move Finish output without overwriting a file");
        work.sync();
        folder.sync();
        folder.read(*request.temporary, render.snapshot);
    }
    channel.emit({{"ok", true}, {"snapshot", object(render.snapshot)}, {"jpeg", object(jpeg)}});
    return 0;
}

int metadata(const FinishRequest& request, const FinishFolder& folder, const VerifiedRead& delivered,
             const VerifiedRead& temporary, Channel& channel) {
    const Bytes carried = DeliveryJPEG::carryingMetadata(delivered.bytes, temporary.bytes);
    folder.writeTemporary(*request.temporary, carried, *request.output);
    const VerifiedRead written = folder.read(*request.temporary, std::nullopt);
    const DeliveryJPEG jpeg = DeliveryJPEG::inspect(written.bytes);
    channel.emit({{"ok", true}, {"snapshot", object(written.snapshot)}, {"jpeg", object(jpeg)}});
    return 0;
}

int swap(const FinishRequest& request, const FinishFolder& folder, const VerifiedRead& delivered,
         const VerifiedRead& temporary, Channel& channel) {
    const DeliveryJPEG d = DeliveryJPEG::inspect(delivered.bytes);
    const DeliveryJPEG r = DeliveryJPEG::inspect(temporary.bytes);
    if (r.width != d.width || r.height != d.height || r.profileHash != d.profileHash || r.metadata != d.metadata ||
        r.orientation != 1)
        throw FinishFailure("Delivery output validation failed");

    const std::string& temporaryName = *request.temporary;
    Descriptor file(::openat(folder.fd(), temporaryName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) throw FinishFailure("Finish temporary file disappeared");
    // The render was created private to this user; the file that replaces the
    // delivery is readable by whoever could read the delivered file. Its group
    // follows where this user may give it that group (otherwise the render's
    // group stays, which can only narrow who reads it).
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) throw FinishFailure("Finish temporary file disappeared");
    if (st.st_gid != gid_t(delivered.group)) (void)!::fchown(file.get(), uid_t(-1), gid_t(delivered.group));
    if (::fchmod(file.get(), mode_t(delivered.permissions)) != 0)
        throw FinishFailure("Cannot give the rendered JPEG the delivered file's permissions");
    int rc;
    while ((rc = ::fsync(file.get())) != 0 && errno == EINTR) {
    }
    if (rc != 0) throw FinishFailure("Cannot synchronize rendered JPEG");
    folder.sync();

    channel.emit({{"ok", true}, {"ready", true}});
    if (channel.readLine() != std::optional<std::string>("commit")) throw FinishFailure("Canceled before replacement");

    if (::renameat2(folder.fd(), temporaryName.c_str(), folder.fd(), request.name.c_str(), RENAME_EXCHANGE) != 0)
        throw FinishFailure("This volume could not atomically exchange the delivery JPEG (errno " +
                            std::to_string(errno) + ")");
    folder.sync();

    try {
        folder.read(temporaryName, request.source);
        folder.read(request.name, request.output);
    } catch (const FinishFailure&) {
        channel.emit({{"ok", true},
                      {"reason", "Delivery changed during saving; displaced file preserved"},
                      {"status", "conflict"}});
        return 0;
    }

    channel.emit({{"ok", true}, {"exchanged", true}});
    if (channel.readLine() != std::optional<std::string>("cleanup"))
        throw FinishFailure("Replacement awaits recovery cleanup");
    folder.discard(temporaryName, *request.source);
    channel.emit({{"ok", true}, {"status", "committed"}, {"snapshot", object(*request.output)}});
    return 0;
}

}  // namespace

int perform(const FinishRequest& request, Channel& channel) {
    if (request.command == "lightroom-status") return lightroomStatus(channel);

    const FinishFolder folder = openFolder(request.folder, request.folderIdentity);
    if (request.command == "lock") return lock(request, folder, channel);

    if (!registeredName(request.name)) throw FinishFailure("Only registered delivery JPEG names are supported");

    if (request.command == "export-check") return exportCheck(request, folder, channel);
    if (request.command == "inspect") return inspect(request, folder, channel);
    if (request.command == "snapshot") return snapshot(request, folder, channel);
    if (request.command == "work-create") return workCreate(request, folder, channel);

    if (request.command == "work-inspect" || request.command == "publish" || request.command == "work-clean") {
        if (!request.work || !request.workIdentity || !request.folderIdentity || request.name != renderName)
            throw FinishFailure("Missing Finish working-directory receipt");
        return workCommand(request, folder, channel);
    }

    if (request.command == "discard") {
        if (!temporaryName(request.name) || !request.output || !request.folderIdentity)
            throw FinishFailure("Missing temporary-file receipt");
        folder.discard(request.name, *request.output);
        channel.emit(ok());
        return 0;
    }

    if (!request.temporary || !temporaryName(*request.temporary) || *request.temporary == request.name ||
        !request.source || !request.output || !request.folderIdentity)
        throw FinishFailure("Missing registered delivery receipt");
    const VerifiedRead delivered = folder.read(request.name, request.source);
    const VerifiedRead temporary = folder.read(*request.temporary, request.output);
    if (request.command == "metadata") return metadata(request, folder, delivered, temporary, channel);
    if (request.command == "swap") return swap(request, folder, delivered, temporary, channel);
    throw FinishFailure("Unknown delivery command");
}

}  // namespace Finish
