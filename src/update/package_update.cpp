// Bringing one package to the version that the update server publishes.
#include "update/package_update.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "orvane_config.h"
#include "platform/win32.h"
#include "transfer/delta_download.h"
#include "transfer/download_watch.h"
#include "transfer/fetch.h"
#include "transfer/file_digest.h"
#include "transfer/md5.h"
#include "transfer/signature.h"
#include "update/install_ahead.h"
#include "update/installer.h"
#include "update/limits.h"
#include "update/policy_decide.h"
#include "update/rollout.h"

namespace {

constexpr const char* remote_directory = "/~tarn/latest/";
constexpr const char* version_suffix = ".version";
constexpr const char* digest_suffix = ".md5";
constexpr const char* record_directory = "Updater/";
// The release's signature file, fetched beside the archive and kept as
// "Updater/" + P + ".minisig" while its archive is the package file.
constexpr const char* signature_suffix = ".minisig";
// A download lands beside the package file under this suffix and takes the
// package file's place only once validated.
constexpr const char* download_suffix = ".part";
// The version record's new text lands beside it under this suffix.
constexpr const char* record_temporary_suffix = ".new";
// The notifications, on the pass's update server; the first is the longer.
constexpr const char* installed_notification = "/~tarn/latest/notify_installed.osp";
constexpr const char* error_notification = "/~tarn/latest/notify_error.osp";
// The trusted release keys: with none, releases are not signed and no
// signature is asked for.
constexpr const char* trusted_keys = ORVANE_SIGNING_KEYS;
constexpr bool signed_releases = trusted_keys[0] != '\0';
// The installed release's archive is kept as "Updater/" + P, the source of
// the next release's delta download.
constexpr bool delta_downloads = ORVANE_DELTA != 0;
// A version text must fit the local read of the record with room to spare.
constexpr std::size_t longest_version_text = 4094;

using PathBuffer = char[path_buffer_size];

// The pause before another attempt at an installation, a clock tick at a time
// so that a stop is seen at once; false when the service is stopping.
bool retry_pause() {
    for (DWORD slept = 0; slept < ORVANE_RETRY_DELAY_MS; slept += ORVANE_TICK_MS) {
        if (update_stop_requested != 0) return false;
        const DWORD left = ORVANE_RETRY_DELAY_MS - slept;
        Sleep(left < ORVANE_TICK_MS ? left : ORVANE_TICK_MS);
    }
    return update_stop_requested == 0;
}

// Replaces the version record whole: written beside it, on disk, then renamed
// over it and the rename on disk too, so that a power cut leaves the old
// record or the new one. On failure the old record stays and no temporary.
bool write_record(const char* record, const char* version, std::size_t length) {
    PathBuffer temporary;
    int fits = std::snprintf(temporary, path_buffer_size, "%s%s", record, record_temporary_suffix);
    if (fits < 0 || fits >= path_buffer_size) return false;
    std::FILE* file = std::fopen(temporary, "wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(version, 1, length, file) == length && std::fflush(file) == 0 &&
                   _commit(_fileno(file)) == 0;
    if (std::fclose(file) != 0) written = false;
    if (written &&
        MoveFileExA(temporary, record, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    _unlink(temporary);
    return false;
}

// A downloaded file on disk before it is renamed into place: a pending
// installation must never come back from a power cut empty. Flushed only
// now, after its digest, so that the disk has had that time to take it.
bool flush_file(const char* path) {
    std::FILE* file = std::fopen(path, "r+b");
    if (file == nullptr) return false;
    bool flushed = _commit(_fileno(file)) == 0;
    if (std::fclose(file) != 0) flushed = false;
    return flushed;
}

// Joins two texts into a path buffer; false when they would not fit.
bool join(PathBuffer& out, const char* first, const char* second) {
    int length = std::snprintf(out, path_buffer_size, "%s%s", first, second);
    return length >= 0 && length < path_buffer_size;
}

bool record_path(PathBuffer& out, const char* package_file) {
    PathBuffer directory_and_name;
    return join(directory_and_name, record_directory, package_file) &&
           join(out, directory_and_name, version_suffix);
}

bool kept_archive_path(PathBuffer& out, const char* package_file) {
    return join(out, record_directory, package_file);
}

// An installed package file: kept for the next delta, or removed. Not
// flushed: a move that a power cut undoes leaves the package file, which the
// next pass installs again and keeps then.
void keep_installed(const char* package_file) {
    PathBuffer kept;
    if (delta_downloads && kept_archive_path(kept, package_file) &&
        MoveFileExA(package_file, kept, MOVEFILE_REPLACE_EXISTING))
        return;
    _unlink(package_file);
}

bool kept_signature_path(PathBuffer& out, const char* package_file) {
    PathBuffer directory_and_name;
    return join(directory_and_name, record_directory, package_file) &&
           join(out, directory_and_name, signature_suffix);
}

// Whether the file at path is signed, as package_file, by the kept signature
// file of the package.
bool kept_signature_holds(const char* path, const char* package_file) {
    PathBuffer kept;
    char text[signature_text_max + 1];
    std::uint64_t timestamp = 0;
    if (!kept_signature_path(kept, package_file)) return false;
    const long length = signature_read(kept, text);
    return length >= 0 && signature_verify(text, static_cast<std::size_t>(length), path,
                                           package_file, trusted_keys, &timestamp);
}

// The timestamp of the kept signature file; 0 when there is none (or none
// can be read from it), which any signed release passes.
std::uint64_t kept_timestamp(const char* package_file) {
    PathBuffer kept;
    char text[signature_text_max + 1];
    SignatureFile parsed{};
    std::uint64_t timestamp = 0;
    if (!kept_signature_path(kept, package_file)) return 0;
    const long length = signature_read(kept, text);
    if (length < 0 || !signature_parse(text, static_cast<std::size_t>(length), &parsed) ||
        !signature_fields(parsed, package_file, &timestamp))
        return 0;
    return timestamp;
}

// The signature check of a download whose digest matched: verifies the
// release's signature file, fetched before the archive, against the download
// (its hash taken as it was written when given, else the file read) and the
// kept one, and writes it beside the kept one (under the download suffix)
// for the download to bring into place. 0 accepted; -1 refused, reported; 1
// the signature file could not be written, reported.
int check_signature(const char* package_file, const char* part, const unsigned char* hash,
                    const char* signature_part, ReportFn report_fn, const char* text) {
    const std::size_t length = std::strlen(text);
    std::uint64_t timestamp = 0;
    if (!(hash != nullptr
              ? signature_verify_hash(text, length, hash, package_file, trusted_keys, &timestamp)
              : signature_verify(text, length, part, package_file, trusted_keys, &timestamp))) {
        report_fn(-1, -1, "Package signature missing or not valid.");
        return -1;
    }
    // Equal passes: a pending installation, or the same release published again.
    if (timestamp < kept_timestamp(package_file)) {
        report_fn(-1, -1, "Package signature older than the installed release.");
        return -1;
    }
    if (!write_record(signature_part, text, length)) {
        report_fn(-1, -1, "Error connecting to Halvex server.");
        return 1;
    }
    return 0;
}

// The release's signature file, fetched into text (signature_text_max + 1
// bytes) before its archive, with its trusted comment verified and the
// rollout fields it carries. 0 taken; 2 the server could not be reached, as
// a download that cannot start; -1 refused. Reported.
int fetch_signature(const char* package_url_text, const char* package_file, char* text,
                    std::uint64_t* timestamp, Rollout* rollout) {
    PathBuffer signature_url;
    if (!join(signature_url, package_url_text, signature_suffix)) return -1;
    const char* fetched = fetch_text(signature_url);
    // An outage is no signature fault: said as the archive's download would.
    if (fetched == nullptr) {
        report(-1, -1, "Error downloading file.");
        return 2;
    }
    const std::size_t length = std::strlen(fetched);
    SignatureFile parsed{};
    if (length > signature_text_max ||
        !signature_verify_comment(fetched, length, package_file, trusted_keys, &parsed,
                                  timestamp)) {
        report(-1, -1, "Package signature missing or not valid.");
        return -1;
    }
    if (!rollout_parse(parsed.trusted_comment, parsed.trusted_comment_length, rollout)) {
        const std::string message =
            std::string("Package signature not valid: malformed rollout field in ") + package_file +
            signature_suffix + ".";
        report(-1, -1, message.c_str());
        return -1;
    }
    // The fetch buffer is the next fetch's.
    std::memcpy(text, fetched, length + 1);
    return 0;
}

// Whether the pass takes the release now by its staged rollout; held or
// halted is reported and recorded in the result.
bool release_admitted(const Rollout& rollout, std::uint64_t timestamp, const Policy& policy,
                      bool scheduled, const std::string& package, const char* version,
                      PackageResult* package_result) {
    const RolloutDecision decision = rollout_decide(rollout, timestamp, std::time(nullptr), policy,
                                                    scheduled, package.c_str(), version);
    if (!decision.message.empty()) report(-1, -1, decision.message.c_str());
    if (decision.verdict == RolloutVerdict::take || decision.verdict == RolloutVerdict::take_ahead)
        return true;
    package_result->end = PackageEnd::held;
    package_result->held_until = decision.opens_at;
    return false;
}

bool package_url(PathBuffer& out, const char* base_url, const char* package_file) {
    return join(out, base_url, remote_directory) &&
           std::strlen(out) + std::strlen(package_file) < path_buffer_size &&
           std::strcat(out, package_file) != nullptr;
}

// The installer's outcome as the procedure sees it: -2 archive not openable,
// otherwise the number of entries that failed. Again: a retry in this pass,
// which writes only what failed at the attempt before.
int install_outcome(const char* package_file, bool again = false) {
    if ((again ? install_package_again(package_file) : install_package(package_file)) != 0) return -2;
    return install_error_count();
}

}  // namespace

std::atomic<int> update_stop_requested{0};

bool package_file_fits(const char* package_file, const char* base_url) {
    std::size_t name = std::strlen(package_file);
    std::size_t url = std::strlen(base_url) + std::strlen(remote_directory) + name;
    if (std::strlen(base_url) + std::strlen(installed_notification) >= path_buffer_size) return false;
    std::size_t record = std::strlen(record_directory) + name + std::strlen(record_temporary_suffix);
    std::size_t longest = (url > record ? url : record) + std::strlen(version_suffix);
    // The signature file is written beside the kept one, under the download suffix.
    if (signed_releases)
        longest = (url > record ? url : record) + std::strlen(signature_suffix) +
                  std::strlen(download_suffix);
    return longest < static_cast<std::size_t>(path_buffer_size);
}

int check_version(const char* package_url_text, const char* package_file) {
    PathBuffer version_url;
    PathBuffer record;
    if (!join(version_url, package_url_text, version_suffix) || !record_path(record, package_file))
        return -1;
    const char* remote = fetch_text(version_url);
    if (remote == nullptr) return -1;
    if (std::strlen(remote) > longest_version_text) return -2;  // could never be recorded
    std::FILE* file = std::fopen(record, "rb");
    if (file == nullptr) return 0;
    char local[path_buffer_size];
    std::size_t read = std::fread(local, 1, longest_version_text, file);
    std::fclose(file);
    if (read == 0) return 0;  // an empty record equals nothing
    local[read] = '\0';
    return _stricmp(local, remote) == 0 ? 1 : 0;
}

int download_and_validate(const char* package_url_text, const char* package_file,
                          const char** version_text, ReportFn report_fn, bool delta,
                          const char* signature_text) {
    *version_text = nullptr;
    PathBuffer part;
    PathBuffer digest_url;
    PathBuffer version_url;
    PathBuffer kept;
    PathBuffer signature_part;
    PathBuffer kept_archive;
    if (!kept_archive_path(kept_archive, package_file)) return -1;
    if (signed_releases && (!kept_signature_path(kept, package_file) ||
                            !join(signature_part, kept, download_suffix)))
        return -1;
    if (!join(part, package_file, download_suffix) ||
        !join(digest_url, package_url_text, digest_suffix) ||
        !join(version_url, package_url_text, version_suffix))
        return -1;

    // Into a file of its own: whatever happens to this download, the package
    // file (a pending installation, perhaps) stays as it was. An assembled
    // archive that fails its digest is given up once for the whole one.
    for (delta = delta && delta_downloads;; delta = false) {
        DeltaCounts delta_counts{};
        // Digested as it is written: the file is not read again to be checked.
        FileDigest digest{};
        digest.with_hash = signed_releases;
        download_digest = &digest;
        // A whole download (not a delta's assembly) arrives in the archive's
        // order: its entries are written beside their targets meanwhile, and
        // used only once it is checked.
        download_watch = install_ahead_start(part);
        int result = delta ? delta_download(package_url_text, part, kept_archive, report_fn,
                                            &delta_counts)
                           : download_file(package_url_text, part, report_fn);
        download_digest = nullptr;
        download_watch = nullptr;
        if (result == 0) install_ahead_end();
        if (result != 0) {
            install_ahead_discard();
            // An unopenable URL leaves an empty file behind; a download that
            // kept ending early, or found no room for its rest, keeps what
            // arrived for the next pass to resume (download_file removes what
            // it could not write).
            if (result != download_incomplete && result != 1) _unlink(part);
            return result;
        }

        // A digest that cannot be computed (the file vanished) cannot match.
        char computed[33] = "";
        unsigned char hash[file_digest_hash_size];
        const bool digested = file_digest_end(&digest, computed, hash);
        if (const char* read = digested ? nullptr : file_md5_hex(part, 1); read != nullptr)
            std::snprintf(computed, sizeof computed, "%s", read);

        const char* fetched_version = nullptr;
        if (char* published = fetch_text(digest_url); published != nullptr) {
            if (std::strlen(published) > 31) published[32] = '\0';
            const bool matches = computed[0] != '\0' && _stricmp(computed, published) == 0;
            if (!matches && delta_counts.assembled != 0) {
                report_fn(-1, -1, delta_mismatch_message);
                _unlink(part);
                continue;
            }
            if (!matches) {
                report_fn(-1, -1, "Invalid file received (checksum error)");
                result = -1;
            } else if (signed_releases &&
                       (result = check_signature(package_file, part, digested ? hash : nullptr,
                                                 signature_part, report_fn, signature_text)) != 0) {
                // Refused or not kept: reported; nothing takes the package file's place.
            } else {
                report_fn(-1, -1, "File received and validated.");
                if (delta_counts.assembled != 0) delta_report(delta_counts, report_fn);
                fetched_version = fetch_text(version_url);
            }
        }
        // Only a validated archive with a version text that can be recorded
        // becomes the package file.
        const bool usable = fetched_version != nullptr && fetched_version[0] != '\0' &&
                            std::strlen(fetched_version) <= longest_version_text;
        bool placed = usable && flush_file(part);
        // What was written ahead is of this file only if it is installed.
        if (placed) install_ahead_wait();
        if (!placed ||
            !MoveFileExA(part, package_file, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            install_ahead_discard();
            _unlink(part);
            if (signed_releases) _unlink(signature_part);
            if (usable) {
                report_fn(-1, -1, "Error connecting to Halvex server.");
                return 1;
            }
        } else if (signed_releases && !MoveFileExA(signature_part, kept, MOVEFILE_REPLACE_EXISTING)) {
            // The package file is signed all the same; only a resumed
            // installation of it would be refused, and fetched again.
            _unlink(signature_part);
        }
        *version_text = fetched_version;
        return result;
    }
}

int resume_install(const char* package_file, int retry, bool attempted) {
    std::FILE* present = std::fopen(package_file, "rb");
    if (present == nullptr) return 0;
    std::fclose(present);
    // A package file that its kept signature does not sign is taken for one
    // that cannot be opened: removed, and fetched again.
    const bool signed_file = !signed_releases || kept_signature_holds(package_file, package_file);
    for (unsigned attempt = 1;; ++attempt) {
        int outcome = signed_file ? install_outcome(package_file, attempted || attempt > 1) : -2;
        if (outcome == -2) {
            report(-1, -1, "Corrupted update received");
            _unlink(package_file);
            PathBuffer record;
            if (record_path(record, package_file)) _unlink(record);
            return -1;
        }
        if (outcome == 0) {
            report(-1, -1, "Installed.");
            keep_installed(package_file);
            return 1;
        }
        report(-1, -1,
               "ERRORS were encountered while installing offline package. Please note that the "
               "update may not be complete");
        if (retry == 0) return -1;
        // Bounded, so that an entry that can never be written (a running
        // program, a full disk) cannot hold the pass and a stop for ever.
        if (attempt >= ORVANE_RETRY_ATTEMPTS || !retry_pause()) return resume_unfinished;
    }
}

namespace {

int update_package_steps(const char* package_file, int retry, const Policy& policy, bool scheduled,
                         PackageResult* package_result) {
    auto ended = [package_result](PackageEnd end) {
        package_result->end = end;
        return 0;
    };
    PathBuffer record;
    PathBuffer url;
    PathBuffer installed;
    PathBuffer failed;
    const char* server = policy_server(policy);
    if (!package_file_fits(package_file, server) || !record_path(record, package_file) ||
        !package_url(url, server, package_file) || !join(installed, server, installed_notification) ||
        !join(failed, server, error_notification)) {
        report(-1, -1, "Package name too long, skipped.");
        return -1;
    }
    // The policy names packages without their archive's suffix.
    std::string package(package_file);
    if (package.size() > 4 && package.compare(package.size() - 4, 4, ".zip") == 0)
        package.resize(package.size() - 4);

    int equal = check_version(url, package_file);
    if (equal == 0 || equal == 1) package_result->available = fetch_buffer;
    // A version outside the policy's prefix is not even downloaded; the
    // version text is still in the fetch buffer.
    if (equal != 1) {
        const std::string held =
            policy_held(policy, package.c_str(), equal == 0 ? fetch_buffer : nullptr);
        if (!held.empty()) {
            if (equal == -1) report(-1, -1, "Error getting version information.");
            report(-1, -1, held.c_str());
            return ended(PackageEnd::held);
        }
    }
    if (equal == 1) {
        int resumed = resume_install(package_file, retry);
        if (resumed == 1) {
            report(-1, -1, "A failed instalation was resumed successfuly.");
            report(-1, -1, "System is up to date.");
            return ended(PackageEnd::installed);
        }
        if (resumed == 0) {
            report(-1, -1, "System is up to date.");
            return ended(PackageEnd::up_to_date);
        }
        // Still unfinished: the same archive would fail the same way if
        // fetched again, so it waits for the next pass as it is.
        if (resumed == resume_unfinished) return 0;
        report(-1, -1, "A failed instalation was NOT resumed successfuly. Refetching packages.");
    } else if (equal == -1) {
        report(-1, -1, "Error getting version information.");
    } else if (equal == -2) {
        report(-1, -1, "Version information too long.");
        return -1;
    }

    // A signed release's trusted comment decides, before the archive is
    // asked for, whether this machine takes it now; the archive is checked
    // against the same signature file once it is here.
    char signature[signature_text_max + 1] = "";
    std::uint64_t signed_at = 0;
    Rollout rollout;
    if (signed_releases) {
        if (int fetched = fetch_signature(url, package_file, signature, &signed_at, &rollout);
            fetched != 0)
            return fetched;
        // Decided before the download, always: a release held after it would
        // have its signature kept in the installed one's place. Without the
        // version text (the first fetch failed), it is asked for once more:
        // the machine's bucket depends on it.
        if (equal == -1) {
            if (int again = check_version(url, package_file); again == 0 || again == 1)
                package_result->available = fetch_buffer;
        }
        const char* named =
            package_result->available ? package_result->available->c_str() : nullptr;
        const bool halted = rollout.percent == 0;
        if (equal == 1) {
            // A release this machine took already, fetched again to repair
            // it: only a halt stops that.
            if (halted && !release_admitted(rollout, signed_at, policy, scheduled, package,
                                            named, package_result))
                return 0;
        } else if (named != nullptr || halted ||
                   rollout_share(rollout, signed_at, std::time(nullptr)) >= 100) {
            if (!release_admitted(rollout, signed_at, policy, scheduled, package,
                                  named != nullptr ? named : "", package_result))
                return 0;
        } else {
            report(-1, -1, "No version number received. Aborting update.");
            return 0;
        }
    }

    const char* fetched_version = nullptr;
    int result = download_and_validate(url, package_file, &fetched_version, report, equal == 0,
                                       signed_releases ? signature : nullptr);
    if (result != 0) return result;
    if (fetched_version == nullptr || fetched_version[0] == '\0') {
        report(-1, -1, "No version number received. Aborting update.");
        return 0;
    }
    std::size_t version_length = std::strlen(fetched_version);
    if (version_length > longest_version_text) {
        report(-1, -1, "Version information too long.");
        return -1;
    }
    // The notification fetch below overwrites the shared fetch buffer.
    char version[path_buffer_size];
    std::memcpy(version, fetched_version, version_length + 1);
    // The server may have moved on since the version was checked.
    if (const std::string held = policy_held(policy, package.c_str(), version); !held.empty()) {
        report(-1, -1, held.c_str());
        _unlink(package_file);
        return ended(PackageEnd::held);
    }

    report(-1, -1, "Installing update ...");
    int outcome = install_outcome(package_file);
    if (outcome == -2) {
        // Validated but not an archive: nothing was installed, so the version
        // must not be recorded as if it had been.
        report(-1, -1, "Corrupted update received");
        _unlink(package_file);
        fetch_text(failed);
        return -1;
    }
    const char* notification = installed;
    if (outcome != 0) {
        report(-1, -1,
               "ERRORS were encountered while installing. Please note that the update may not "
               "be complete");
        notification = failed;
    } else {
        report(-1, -1, "Installed.");
        keep_installed(package_file);
    }
    fetch_text(notification);

    if (!write_record(record, version, version_length)) {
        report(-1, -1, "Error writing version information.");
        return 0;
    }

    if (outcome == 0) return ended(PackageEnd::installed);
    if (retry != 0 && resume_install(package_file, retry, true) == 1)
        return ended(PackageEnd::installed);
    return 0;
}

}  // namespace

int update_package(const char* package_file, int retry, const Policy& policy, bool scheduled,
                   PackageResult* package_result) {
    const int result = update_package_steps(package_file, retry, policy, scheduled, package_result);
    // Entries written ahead for a download that was not installed are not left behind.
    install_ahead_discard();
    return result;
}

std::optional<std::string> package_installed_version(const char* package_file) {
    PathBuffer record;
    if (!record_path(record, package_file)) return std::nullopt;
    std::FILE* file = std::fopen(record, "rb");
    if (file == nullptr) return std::nullopt;
    char text[longest_version_text + 1];
    const std::size_t read = std::fread(text, 1, longest_version_text, file);
    std::fclose(file);
    std::string version(text, read);
    while (!version.empty() && (version.back() == '\n' || version.back() == '\r')) version.pop_back();
    return version;
}

bool package_waiting(const char* package_file) {
    PathBuffer part;
    for (const char* path : {package_file, join(part, package_file, download_suffix) ? part : ""}) {
        if (path[0] == '\0') continue;
        if (std::FILE* file = std::fopen(path, "rb"); file != nullptr) {
            std::fclose(file);
            return true;
        }
    }
    return false;
}

const char* update_base_url() { return ORVANE_UPDATE_BASE_URL; }

const char* update_signing_keys() { return trusted_keys; }
