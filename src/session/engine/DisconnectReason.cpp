#include "DisconnectReason.h"

#include "RdpControl.h"

#include <freerdp/error.h>

namespace tsc::engine {

namespace {

bool IsLogonError(std::uint32_t code) {
    switch (code) {
    case FREERDP_ERROR_AUTHENTICATION_FAILED:
    case FREERDP_ERROR_INSUFFICIENT_PRIVILEGES:
    case FREERDP_ERROR_CONNECT_LOGON_FAILURE:
    case FREERDP_ERROR_CONNECT_WRONG_PASSWORD:
    case FREERDP_ERROR_CONNECT_ACCESS_DENIED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_RESTRICTION:
    case FREERDP_ERROR_CONNECT_ACCOUNT_LOCKED_OUT:
    case FREERDP_ERROR_CONNECT_ACCOUNT_EXPIRED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_DISABLED:
    case FREERDP_ERROR_CONNECT_LOGON_TYPE_NOT_GRANTED:
    case FREERDP_ERROR_CONNECT_NO_OR_MISSING_CREDENTIALS:
    case FREERDP_ERROR_CONNECT_PASSWORD_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_CERTAINLY_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_MUST_CHANGE:
    case FREERDP_ERROR_CONNECT_CLIENT_REVOKED:
        return true;
    default:
        return false;
    }
}

} // namespace

int DisconnectReasonFor(const SessionEnd &end) {
    if (end.timedOut) return RdpDisconnectReason::ConnectionTimedOut;
    if (end.aborted) return RdpDisconnectReason::LocalNotError;
    if (end.certificateRefused) return RdpDisconnectReason::CertificateRefused;
    if (IsLogonError(end.lastError)) return RdpDisconnectReason::LogonFailed;
    switch (end.lastError) {
    case FREERDP_ERROR_DNS_ERROR:
    case FREERDP_ERROR_DNS_NAME_NOT_FOUND:
        return RdpDisconnectReason::DnsLookupFailed;
    case FREERDP_ERROR_CONNECT_FAILED:
        return RdpDisconnectReason::SocketConnectFailed;
    case FREERDP_ERROR_CONNECT_CANCELLED:
        return RdpDisconnectReason::LocalNotError;
    case FREERDP_ERROR_TLS_CONNECT_FAILED:
    case FREERDP_ERROR_SECURITY_NEGO_CONNECT_FAILED:
    case FREERDP_ERROR_MCS_CONNECT_INITIAL_ERROR:
        return RdpDisconnectReason::ProtocolNegotiationFailed;
    case FREERDP_ERROR_CONNECT_TRANSPORT_FAILED:
        return end.connected ? RdpDisconnectReason::SocketClosed : RdpDisconnectReason::SocketConnectFailed;
    default:
        break;
    }
    switch (end.errorInfo) {
    case ERRINFO_SUCCESS:
        break;
    case ERRINFO_LOGOFF_BY_USER:
    case ERRINFO_RPC_INITIATED_DISCONNECT_BY_USER:
        return RdpDisconnectReason::RemoteByUser;
    default:
        return RdpDisconnectReason::RemoteByServer;
    }
    if (!end.connected)
        return end.lastError == FREERDP_ERROR_SUCCESS ? RdpDisconnectReason::SocketClosed
                                                      : RdpDisconnectReason::InternalError;
    return RdpDisconnectReason::SocketClosed;
}

} // namespace tsc::engine
