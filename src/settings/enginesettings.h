#pragma once
// What the engine takes from the configuration record: the options a job thread reads,
// and the per-job connection defaults a new job starts with.
#include "engine/engineoptions.h"
#include "engine/jobrecord.h"
#include "settings/settings.h"

namespace kv {

EngineOptions EngineOptionsFrom(const Settings& settings);

// Fills the per-job fields a new job takes from the preferences: error limit, retry,
// delay and time-outs, ant number, user agent and referer, and the two default proxies.
void ApplyJobDefaults(JobRecord& job, const Settings& settings);

}  // namespace kv
