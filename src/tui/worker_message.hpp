#pragma once

// The messages that the interface's workers send to the interface thread over one
// multi-producer channel. Ownership of the payload passes with the message. The
// background scan's reports arrive as Found, Measured, NoCandidate, WalkError and
// ScanFinished.

#include "common/app_error.hpp"
#include "common/channel.hpp"
#include "common/result.hpp"
#include "docker/native.hpp"
#include "scanner/candidate.hpp"
#include "scanner/clean.hpp"
#include "scanner/scan.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qb::tui {

/// A found or remembered cache that is not measured yet: a row of the sizing list.
struct SizingRow {
    std::string kind;
    std::string ecosystem;
    std::string path; // as found, not canonicalised
    CacheScope scope = CacheScope::Project;
    bool cleanable = true;
};

namespace msg {
struct Found {
    SizingRow row;
};
struct Measured {
    Candidate candidate;
};
struct NoCandidate {
    std::string path;
};
struct WalkError {
    std::string text;
};
/// The end of a scan: the rows and walk error texts, or the error that stopped it.
struct ScanFinished {
    Result<ScanResult, AppError> outcome;
};
struct DockerInspected {
    NativeInspection inspection;
};
/// The check before a deletion: the remeasured rows or the error of the first that
/// changed, and the build-cache preview when the plan had a Docker row.
struct Remeasured {
    Result<std::vector<Candidate>, AppError> candidates;
    std::optional<Result<NativeResource, NativeDiagnostic>> build_cache;
    bool after_confirmation = false;
};
/// The end of a clean, or the error that stopped it before it removed anything, with the
/// prune's outcome when one was asked for.
struct CleanFinished {
    Result<CleanReport, AppError> report;
    std::optional<Result<NativeCleanReport, NativeDiagnostic>> prune;
};
} // namespace msg

using WorkerMessage =
    std::variant<msg::Found, msg::Measured, msg::NoCandidate, msg::WalkError, msg::ScanFinished,
                 msg::DockerInspected, msg::Remeasured, msg::CleanFinished>;

using WorkerSender = Sender<WorkerMessage>;
using WorkerReceiver = Receiver<WorkerMessage>;

} // namespace qb::tui
