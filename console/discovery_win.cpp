// DiscoverCameras over the WinHTTP client.
#include "console/discovery.h"

#include "config/wide_text_win.h"
#include "console/http_client_win.h"

namespace {

class HttpClientTransport final : public ConsoleTransport {
 public:
  explicit HttpClientTransport(HttpClient& httpClient) : client(httpClient) {}
  HttpResponse Send(std::string_view method, std::string_view path, const std::string& body,
                    std::string_view contentType) override {
    return client.Request(Widen(method), Widen(path), body, Widen(contentType));
  }
  bool HasCsrfToken() const override { return !client.CsrfToken().empty(); }
  std::string CertificateSha256() const override { return client.PresentedCertificate(); }

 private:
  HttpClient& client;
};

}  // namespace

DiscoveryResult DiscoverCamerasAt(std::string_view host, uint16_t port, std::string_view user,
                                  std::string_view password, bool enableRtsp,
                                  const CertPolicy& certificate, bool subStreams) {
  HttpClient client(Widen(host), port);
  client.PinCertificate(certificate);
  HttpClientTransport transport(client);
  return DiscoverCamerasOver(transport, user, password, enableRtsp, subStreams);
}

DiscoveryResult DiscoverCameras(std::string_view host, std::string_view user,
                                std::string_view password, bool enableRtsp,
                                const CertPolicy& certificate, bool subStreams) {
  return DiscoverCamerasAt(host, kConsolePort, user, password, enableRtsp, certificate, subStreams);
}
