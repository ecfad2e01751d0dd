// The HTTP requests of a connection: GET from the static web packages (and the version
// document), POST of a command document over TLS to the dispatcher.
#ifndef ORVANE_HTTP_H_
#define ORVANE_HTTP_H_

namespace orvane {

class client;

// Serves the GET request of the connection. Returns 0, or -1 when the answer could not be sent.
int client_process_get(client& c);
// Runs the POSTed command document and sends its answer; the exchange is mirrored to the
// monitoring port. Returns 0 or -1.
int client_process_post(client& c);
enum class on_loop_answer {
  none,      // nothing ran: a worker serves the request
  prepared,  // c.http_response holds the answer, for a worker to send
  sent,      // answered (or the sending failed): the connection ends
};
// Runs on the calling network loop a small POST of one command that never waits (see
// PROCESSOR_INSTANT), saving the hand-off to a worker.
on_loop_answer client_answer_on_loop(client& c);
// Sends c.http_response. Returns 0 or -1.
int client_unwrap_htmldoc(client& c);
// Answers "400 Bad Request" to a request that does not parse.
void client_answer_bad_request(client& c);
// Answers an empty response with that status, e.g. 503 "Service Unavailable".
void client_answer_status(client& c, int status, const char* reason);

}  // namespace orvane

#endif  // ORVANE_HTTP_H_
