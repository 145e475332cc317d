#pragma once

// What a post of collected data came to.
enum class TPostResult {
  Accepted,
  // The server asked for a new initialisation: nothing is saved.
  Reinitialize,
  // The server asked for the same data again after FResendDelay minutes, or
  // the transfer failed: the data and its status are kept for the next cycle.
  Resend,
  // The server took the post (HTTP 2xx) but its answer is not a JSON object
  // (a proxy's page, an empty body): the status is saved as for an accepted
  // post, but nothing shows that the data arrived, so the data's pending
  // rows and cache changes are kept to travel again.
  AnswerUnreadable,
};
