// What the console's files share: the HTTP library with the limits compiled in,
// JSON, and the reply helpers.
#pragma once

// The library is Debian's compiled one: its request-line and header-line limits
// (8192 bytes each) are the ones it was built with.
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <string>

using Json = nlohmann::json;

// HTTP status codes the console answers with.
enum WebStatus : int {
  kHttpOk = 200,
  kHttpBadRequest = 400,
  kHttpUnauthorized = 401,
  kHttpForbidden = 403,
  kHttpNotFound = 404,
  kHttpConflict = 409,
  kHttpTooLarge = 413,
  kHttpTooMany = 429,
  kHttpServerError = 500,
  kHttpUnavailable = 503,
};

// Replies with `body` as JSON.
void ReplyJson(httplib::Response& res, const Json& body, int status = kHttpOk);
// Replies {"error": text} with `status`.
void ReplyError(httplib::Response& res, int status, const std::string& text);
// Parses the request body as a JSON object; replies 400 and returns false when it
// is not one.
bool ParseJsonBody(const httplib::Request& req, httplib::Response& res, Json& out);
// A string member of `body`; false with a 400 reply when it is missing (and
// `required`) or not a string.
bool TakeString(const Json& body, const char* name, std::string& out, httplib::Response& res,
                bool required = true);

// Registers the accounts and domains API (web_accounts.cpp).
void RegisterAccountRoutes(httplib::Server& server);
// Registers the queue API (web_queue.cpp).
void RegisterQueueRoutes(httplib::Server& server);
// Registers the lists API (web_lists.cpp).
void RegisterListRoutes(httplib::Server& server);
// The compiled-in pages: path, content type and content (web_assets.cpp).
struct WebAsset {
  const char* path;
  const char* type;
  const char* body;
};
extern const WebAsset kWebAssets[];
