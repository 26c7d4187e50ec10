// TCustomConnection: the base of connection components. Setting Connected
// calls DoConnect or DoDisconnect between the before and after events, and
// tells the registered clients; reads ask GetConnected. A connection read
// from text connects only in Loaded, once every component around it is read.
// Datasets register as clients and are listed in DataSets.
//
// Callers must keep: a descendant overrides DoConnect, DoDisconnect and
// GetConnected together, and sets Connected False in its own destructor when
// disconnecting needs its own members. Clients are borrowed; a client that is
// a component is dropped when it is freed.
#pragma once

#include <functional>
#include <vector>

#include "host/classes/component.h"
#include "host/rtl/string_list.h"

namespace host {

class TDataSet;

using TConnectChangeEvent = std::function<void(TObject* sender, bool connecting)>;

class TCustomConnection : public TComponent {
 public:
  explicit TCustomConnection(TComponent* owner);
  ~TCustomConnection() override;

  bool Connected() const { return GetConnected(); }
  virtual void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  virtual int DataSetCount() const;
  virtual TDataSet* DataSets(int index) const;

  // `client` hears `event` (when given) before a disconnect and after a
  // connect; a dataset client joins DataSets.
  virtual void RegisterClient(TObject* client, TConnectChangeEvent event = nullptr);
  virtual void UnRegisterClient(TObject* client);

  TNotifyEvent BeforeConnect, AfterConnect, BeforeDisconnect, AfterDisconnect;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  virtual void DoConnect() {}
  virtual void DoDisconnect() {}
  virtual bool GetConnected() const { return false; }
  void SendConnectEvent(bool connecting);
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  struct TClient {
    TObject* client;
    TConnectChangeEvent event;
  };
  std::vector<TClient> clients_;      // borrowed
  std::vector<TDataSet*> data_sets_;  // borrowed, the clients that are datasets
  bool streamed_connected_ = false;
};

}  // namespace host
