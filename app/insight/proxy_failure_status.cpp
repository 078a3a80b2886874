#include "app/insight/proxy_failure_status.h"

#include "app/core/engine_controller.h"
#include "app/insight/failure_status_feed.h"

namespace tovix::insight {

void show_proxy_failures(FailureStatusFeed& failures, app::EngineController& engine) {
  QObject::connect(&failures, &FailureStatusFeed::proxy_failed, &engine,
                   [&engine](const QString& text) { emit engine.error_text(text); });
  QObject::connect(&engine, &app::EngineController::state_changed, &failures, [&failures](app::EngineState state) {
    if (state == app::EngineState::starting) failures.reset();
  });
}

}  // namespace tovix::insight
