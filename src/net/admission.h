// Admission of new connections: the total and per-address bounds.
#pragma once

#include <cstdint>

#include "net/socket.h"

namespace lattice {

// Counts the connection against the bounds of Limits, keyed by its
// peerAddress (IPv4 address, or IPv6 /64). False when a bound is hit: that is
// counted and logged here, and the caller closes the connection at once.
bool AdmitConnection(Socket& socket);

// The same check for a connection that has no object yet; on true the caller
// sets the object's admitted flag once it exists.
bool AdmitAddress(const AddressStorage& address);

// Gives the connection's place back; once per admitted connection, at Close.
void ReleaseConnection(Socket& socket);

// Connections admitted and not yet released.
std::uint64_t AdmittedConnections();

// Forgets every admitted connection (tests and a new run).
void ResetAdmission();

}  // namespace lattice
