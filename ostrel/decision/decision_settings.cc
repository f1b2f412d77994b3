#include "decision_settings.h"

#include "exit_status.h"
#include "log.h"
#include "state.h"

namespace {

template <typename T>
T or_terminate(SettingRead<T> read) {
  if (read.ok()) return std::move(read.value);
  log_msg(2, "%s. Terminating.", read.error->c_str());
  terminate_process(exit_status::gave_up);
}

}  // namespace

DecisionSettings decision_settings_from_env() {
  DecisionSettings settings;
  settings.ages = or_terminate(cleanup_ages_from_env());
  settings.min_delay_s = or_terminate(min_delay_from_env(settings.ages));
  // Sent from the statement buffer, as the built-in replies are.
  settings.reply = or_terminate(reply_from_env(buf.size()));
  if (settings.reply) *settings.reply += "\r\n";
  return settings;
}
