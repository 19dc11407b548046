// The server side the peer services share (SNEP, NPP, connection handover): one listener, one
// client at a time, the current server of each service, and a record that lives as long as a
// link names it. Each link holds the record, the listener's and the client's; a client's end
// returns the server to waiting, only the listener's end (after the application's stop, or the
// end of the application) ends the server, and the record goes with the last link's final event.
// A service supplies its protocol through the hooks.
#pragma once

#include <cstdint>
#include <mutex>

#include "p2p/p2pops.h"

class CP2pServer;

// What a link of a server names as its context: the server, and which of its links it is.
struct TP2pServerEnd {
    enum Kind : uint8_t { Listener, Client, Refused };
    CP2pServer* server;
    Kind kind;
};

class CP2pServer {
public:
    enum class Start { Started, AlreadyRunning, ListenFailed };

    // Every server's state and the current servers are kept under this one lock, which event
    // handling and the application's calls take; it is not held while a listen waits.
    static std::recursive_mutex& lock();
    // The live server of the service (named by its current-server slot) behind the handle, or
    // null; a handle that names no live record is never read.
    static CP2pServer* live(const void* handle, CP2pServer* const& slot);

    // The application stops the server: its client goes first, then its listener.
    void stop();
    // The application lets go of the handle: the service may be started again at once, and the
    // record goes with its last link. A silent release calls the application back no more.
    void release(bool silent);
    // Deletes the record once no link holds it; true when it went.
    bool dropIfFree();

    // Listens for one connection-oriented client at a time and becomes the service's current
    // server. Call without the lock; when it fails the record is deleted.
    static Start start(CP2pServer* server, NfcHandle hNfc, DWORD window, DWORD miu, BYTE sap, const char* name,
                       NfcApiStatus* listenStatus);
    // The service's P2P callback hands every event here.
    static DWORD deliver(const char* prefix, CP2pServer* const& slot, DWORD event, void* listenerContext,
                         void* record);

    P2pLinkHandle client() const { return client_; }
    // Whether the application is still called back.
    bool calling() const { return !silent_ && !ended_; }
    // Sends on the client's connection; false when it could not be asked to.
    bool send(const BYTE* data, DWORD length);
    // Ends the client's connection (a protocol error); its end returns the server to waiting.
    // False when it could not be asked to go.
    bool closeClient();

protected:
    // The prefix starts the service's traces of what the base finds ("SNEP server: ").
    CP2pServer(CP2pServer*& slot, TNfcEventCallback callback, const char* prefix);
    virtual ~CP2pServer();
    CP2pServer(const CP2pServer&) = delete;
    CP2pServer& operator=(const CP2pServer&) = delete;

    // The protocol. A client came: the connection is the server's.
    virtual void onClientConnected(const TP2pConnected& connected) = 0;
    // Data from the client; the receive buffer goes back to LLCP afterwards.
    virtual void onData(const TP2pData& data) = 0;
    // What the server sent was transmitted (cause 0) or not.
    virtual void onTransmitted(DWORD cause) = 0;
    // The client's connection ended, whichever side ended it; the server waits for the next.
    virtual void onClientGone() = 0;
    // The application stops the server: a client still there goes first (withClient), and once
    // it has gone the listener goes (called again without it).
    virtual void onStopping(bool withClient) = 0;
    // The listener ended and the server with it; the service is no longer current.
    virtual void onEnded() = 0;

private:
    bool handle(TP2pServerEnd::Kind kind, DWORD event, TP2pConnection* record);
    void accept(const TP2pConnection& record);
    void refuse(P2pLinkHandle connection);
    void clientEnded();
    void listenerEnded();
    bool closeListener();
    // Asks the link to go; a link that no longer exists lets go of its hold at once.
    bool disconnect(P2pLinkHandle link, bool& held);
    void leaveSlot();

    CP2pServer*& slot_;
    TNfcEventCallback callback_;
    const char* prefix_;
    TP2pServerEnd listenerEnd_{this, TP2pServerEnd::Listener};
    TP2pServerEnd clientEnd_{this, TP2pServerEnd::Client};
    TP2pServerEnd refusedEnd_{this, TP2pServerEnd::Refused};
    P2pLinkHandle listener_ = nullptr;
    P2pLinkHandle client_ = nullptr;
    bool listenerHeld_ = false, clientHeld_ = false;
    int refused_ = 0;  // refused connections still on their way out, each a hold
    bool listenerClosing_ = false, clientClosing_ = false;
    bool stopping_ = false, silent_ = false, ended_ = false;
};
