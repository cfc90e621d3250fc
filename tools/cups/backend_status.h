// The exit statuses a CUPS backend gives the scheduler (backend(7)).
#pragma once

namespace varnhold {

enum BackendStatus {
  kBackendOk = 0,            // the job went through
  kBackendFailed = 1,        // the job failed; the queue's error policy decides
  kBackendAuthRequired = 2,  // credentials are needed
  kBackendHold = 3,          // hold the job
  kBackendStop = 4,          // stop the queue, keep the job
  kBackendCancel = 5,        // cancel the job
  kBackendRetry = 6,         // keep the job and try it again later
  kBackendRetryCurrent = 7,  // try the job again at once
};

}  // namespace varnhold
