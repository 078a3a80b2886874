#pragma once
// Makes the once-per-proxy failure notices part of the engine's error texts, which the window's
// status and the headless console both show, and lets every proxy be told of again when the
// engine starts anew. The feed must be the one whose observer the engine was given.
namespace tovix::app {
class EngineController;
}

namespace tovix::insight {

class FailureStatusFeed;

void show_proxy_failures(FailureStatusFeed& failures, app::EngineController& engine);

}  // namespace tovix::insight
