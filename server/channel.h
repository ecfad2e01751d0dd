// WebSocket channels: a connection upgraded to WebSocket receives the change notifications of
// its token's domain once an "auth" message has bound a token to it.
#ifndef ORVANE_CHANNEL_H_
#define ORVANE_CHANNEL_H_

namespace orvane {

class client;

// Seconds a WebSocket channel has after its upgrade to bind a valid token; unbound, it closes.
constexpr int CLIENT_WEBSOCKET_BIND_TIMEOUT = 30;

// Sends the upgrade answer prepared in c.http_response and runs the channel: reads and answers
// frames, and sends the notifications other threads queue, until either side ends it, its token
// ends, or it stays unbound for the bind timeout.
void channel_serve(client& c);

// Decodes one frame from c.input and answers it. Returns 0 when a frame was answered, 1 when the
// frame is not complete yet (1 to 7), and a negative value when the connection is to end.
int client_process_websocket(client& c);
// Answers the message in c.request: "auth" binds the token it names. Returns 0 or -1.
int client_process_websocket_xml(client& c);

}  // namespace orvane

#endif  // ORVANE_CHANNEL_H_
