// Routes by method and path pattern. A pattern is a path whose segments are literal, `{name}`
// (one segment, percent-decoded into Request::params, so "a%2Fb" is the one segment "a/b"), or
// a last `{*name}` (the rest of the path, one segment or more). A path that no pattern matches
// is answered 404, a known path with another method 405 with an Allow header.
#pragma once

#include "serve/http/message.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace zurid::serve::http {

// Where a handler sends its one response, now or later (after a sensor answered). A reply
// that is dropped unanswered answers 500, so a connection never waits for nothing.
class Responder {
  public:
    Responder() = default; // sends nowhere
    // `alive` tells whether the client still waits for the answer (its connection is open);
    // without it the client always waits.
    explicit Responder(std::function<void(const Response&)> sink, std::function<bool()> alive = {});

    void send(const Response& response) const;
    void error(int status, const QString& message, const QString& code = {}) const {
        send(Response::error(status, message, code));
    }
    bool answered() const;
    // The client has gone (its connection ended): work for this answer can be dropped.
    bool gone() const;

  private:
    struct State;
    std::shared_ptr<State> d_;
};

using Handler = std::function<void(const Request&, const Responder&)>;

class Router {
  public:
    void add(const QByteArray& method, const QString& pattern, Handler handler);
    // Fills the request's params and hands it to the route's handler; answers 404 or 405 itself.
    void dispatch(Request request, const Responder& reply) const;

  private:
    struct Route {
        QByteArray method;
        QStringList segments;
        Handler handler;
    };
    static bool Matches(const Route& route, const QStringList& path,
                        QHash<QString, QString>* params);

    std::vector<Route> routes_;
};

} // namespace zurid::serve::http
