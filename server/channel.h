// WebSocket channels: a connection upgraded to WebSocket receives the change notifications of
// its token's domain once an "auth" message has bound a token to it.
#ifndef ORVANE_CHANNEL_H_
#define ORVANE_CHANNEL_H_

#include <memory>

namespace orvane {

class client;

// Seconds a WebSocket channel has after its upgrade to bind a valid token; unbound, it closes.
constexpr int CLIENT_WEBSOCKET_BIND_TIMEOUT = 30;

// Takes over a connection whose request asked for the WebSocket upgrade: with a channel slot
// free (the channels' own cap), sends the upgrade answer prepared in c->http_response and hands
// the connection to a network loop, where it reads and answers frames and sends the
// notifications other threads queue, until either side ends it, its token ends, or it stays
// unbound for the bind timeout. Without a free slot, answers 503 and ends the connection. On the
// worker that answered the upgrade request.
void channel_start(std::unique_ptr<client> c);

// Decodes one frame from c.input and answers it. Returns 0 when a frame was answered, 1 when the
// frame is not complete yet (1 to 7), and a negative value when the connection is to end.
int client_process_websocket(client& c);
// Answers the message in c.request: "auth" binds the token it names. Returns 0 or -1.
int client_process_websocket_xml(client& c);

}  // namespace orvane

#endif  // ORVANE_CHANNEL_H_
