#include "host/db/connection.h"

#include <algorithm>

#include "host/classes/prop_table.h"
#include "host/db/data_set.h"

namespace host {

TCustomConnection::TCustomConnection(TComponent* owner) : TComponent(owner) {}

TCustomConnection::~TCustomConnection() {
  Destroying();
  // Clients that outlive the connection stop hearing of it.
  for (const TClient& c : clients_)
    if (auto* comp = dynamic_cast<TComponent*>(c.client)) comp->RemoveFreeNotification(this);
  clients_.clear();
  data_sets_.clear();
}

const TPropertyTable& TCustomConnection::ClassProperties() {
  static const TPropertyTable table = PublishClass<TCustomConnection>(
      "TCustomConnection", &TComponent::ClassProperties(), [](TPublisher<TCustomConnection>& p) {
        p.Boolean(
             "Connected", [](const TCustomConnection& c) { return c.Connected(); },
             [](TCustomConnection& c, bool v) { c.SetConnected(v); })
            .Default(0);
      });
  return table;
}

void TCustomConnection::SetConnected(bool value) {
  if (ComponentState() & csLoading) {
    streamed_connected_ = value;
    return;
  }
  if (value == GetConnected()) return;
  if (value) {
    if (BeforeConnect) BeforeConnect(this);
    DoConnect();
    SendConnectEvent(true);
    if (AfterConnect) AfterConnect(this);
  } else {
    if (BeforeDisconnect) BeforeDisconnect(this);
    SendConnectEvent(false);
    DoDisconnect();
    if (AfterDisconnect) AfterDisconnect(this);
  }
}

void TCustomConnection::Loaded() {
  TComponent::Loaded();
  if (streamed_connected_) {
    streamed_connected_ = false;
    SetConnected(true);
  }
}

void TCustomConnection::SendConnectEvent(bool connecting) {
  // A client may unregister while it is told.
  std::vector<TClient> clients = clients_;
  for (const TClient& c : clients)
    if (c.event) c.event(this, connecting);
}

int TCustomConnection::DataSetCount() const {
  return static_cast<int>(data_sets_.size());
}

TDataSet* TCustomConnection::DataSets(int index) const {
  if (index < 0 || index >= DataSetCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return data_sets_[index];
}

void TCustomConnection::RegisterClient(TObject* client, TConnectChangeEvent event) {
  for (const TClient& c : clients_)
    if (c.client == client) return;
  clients_.push_back({client, std::move(event)});
  if (auto* ds = dynamic_cast<TDataSet*>(client)) data_sets_.push_back(ds);
  if (auto* comp = dynamic_cast<TComponent*>(client)) comp->FreeNotification(this);
}

void TCustomConnection::UnRegisterClient(TObject* client) {
  auto it = std::find_if(clients_.begin(), clients_.end(),
                         [client](const TClient& c) { return c.client == client; });
  if (it == clients_.end()) return;
  clients_.erase(it);
  data_sets_.erase(std::remove(data_sets_.begin(), data_sets_.end(), client), data_sets_.end());
  if (auto* comp = dynamic_cast<TComponent*>(client)) comp->RemoveFreeNotification(this);
}

void TCustomConnection::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != opRemove) return;
  // The component is half destroyed: compare pointers only.
  TObject* gone = component;
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [gone](const TClient& c) { return c.client == gone; }),
                 clients_.end());
  data_sets_.erase(std::remove_if(data_sets_.begin(), data_sets_.end(),
                                  [gone](TDataSet* d) { return static_cast<TObject*>(d) == gone; }),
                   data_sets_.end());
}

}  // namespace host
