#pragma once

// The numbers the client hands the GUI in place of texts; the texts belong to
// the GUI, so each value is fixed.

// Status codes: ILoginView::showError, IMainView::showError, IOperationProgress::endError.
namespace status {
inline constexpr int ovpnMissingAgain = 20000;
inline constexpr int ovpnDownloadRequestFailed = 20001;
inline constexpr int ovpnInstallerDownloadFailed = 20002;
inline constexpr int routeTableRequestFailed = 20003;
inline constexpr int ovpnConfigRequestFailed = 20004;
inline constexpr int tunnelFailed = 20005;
inline constexpr int credentialsInvalid = 20006;
inline constexpr int dhcpBeforeRouteGateway = 20007;
inline constexpr int dhcpWithoutDefaultRoute = 20008;
inline constexpr int dhcpAdapterGuidInvalid = 20009;
inline constexpr int dhcpForeignAdapter = 20010;
inline constexpr int routeCleanFailed = 20011;
inline constexpr int routeWriteFailed = 20013;
inline constexpr int dhcpNoticeMissing = 20014;
inline constexpr int tunnelStateAborted = 20015;
inline constexpr int configWriteFailed = 20016;
inline constexpr int tapinstallFailed = 20017;
inline constexpr int adapterMarkFailed = 20018;
inline constexpr int adapterNotFound = 20019;
inline constexpr int adapterCharacteristicsFailed = 20020;
inline constexpr int serverNotResolved = 20022;
inline constexpr int ovpnStartFailed = 20023;
inline constexpr int managementConnectTimeout = 20025;
inline constexpr int installerWriteFailed = 20026;
inline constexpr int installerStartFailed = 20027;
inline constexpr int installerExitCode = 20028;
inline constexpr int managementListenFailed = 20029;
inline constexpr int tunnelNotIdle = 20030;
inline constexpr int repairCommandFailed = 20031;
inline constexpr int updaterWriteFailed = 20032;
inline constexpr int manifestDownloadFailed = 20033;
inline constexpr int manifestInvalid = 20034;
inline constexpr int accountsRequestFailed = 20036;
inline constexpr int gameListRequestFailed = 20037;
inline constexpr int subAccountRequestFailed = 20038;
inline constexpr int logoutRequestFailed = 20039;
}  // namespace status

// A failed login shows one of these, or the server's non-zero "rst".
namespace loginError {
inline constexpr int noReply = -2;
inline constexpr int unusableReply = -3;
}  // namespace loginError

// Progress and question ids: IOperationProgress::showStatus, ask, endSuccess.
namespace progress {
inline constexpr int none = 0;  // endSuccess without a message
inline constexpr int askInstallOvpn = 90000;
inline constexpr int ovpnAddressRequested = 90001;
inline constexpr int ovpnInstallerDownloading = 90002;
inline constexpr int ovpnInstalling = 90003;
inline constexpr int connecting = 90004;
inline constexpr int repairRunning = 90005;
inline constexpr int repairFinished = 90006;
inline constexpr int updateDownloading = 90007;
inline constexpr int updaterStarting = 90008;
inline constexpr int askRetryDownload = 90009;
inline constexpr int askRetryDigest = 90010;
}  // namespace progress
