// The texts of the mounter's window, tray and dialogs, written once. Labels,
// captions, menus and tooltips are Simplified Chinese; message boxes, status
// texts and the list's headers are English. UTF-8.
#ifndef QUENSARIA_MOUNTER_WINDOW_TEXTS_H_
#define QUENSARIA_MOUNTER_WINDOW_TEXTS_H_

namespace quensaria::mounter::texts {

inline constexpr char kProductName[] = "Harlowe Quensaria 挂载器";
inline constexpr char kVersion[] = "V1.6";
inline constexpr char kTrayTip[] = "Harlowe Quensaria 挂载器";

inline constexpr char kColumnDevice[] = "Device";
inline constexpr char kColumnLocation[] = "Location";
inline constexpr char kColumnCapacity[] = "Capacity";
inline constexpr char kColumnAccess[] = "Access";
inline constexpr char kColumnSource[] = "Source";

// Tool bar: label, then tooltip.
inline constexpr char kMount[] = "挂载";
inline constexpr char kMountTip[] = "挂载网络磁盘或虚拟镜像磁盘";
inline constexpr char kUnmount[] = "卸载";
inline constexpr char kUnmountTip[] = "卸载选中的磁盘";
inline constexpr char kRemount[] = "重新挂载";
inline constexpr char kRemountTip[] = "重新挂载选中的磁盘";
inline constexpr char kRefresh[] = "刷新";
inline constexpr char kRefreshTip[] = "刷新磁盘列表";
inline constexpr char kSettings[] = "设置";
inline constexpr char kSettingsTip[] = "设置应用程序选项";
inline constexpr char kHide[] = "隐藏";
inline constexpr char kHideTip[] = "隐藏主窗口到系统托盘";
inline constexpr char kExit[] = "退出";
inline constexpr char kExitTip[] = "退出本程序";

// Tray menu.
inline constexpr char kShowMainWindow[] = "显示主窗口";
inline constexpr char kTrayMount[] = "挂载(&M)...";
inline constexpr char kTrayUnmount[] = "卸载(&U)";
inline constexpr char kTraySettings[] = "设置(&S)...";
inline constexpr char kTrayExit[] = "退出(&X)";

// The status bar while a flow runs, and after the user stops waiting.
inline constexpr char kCancelFlow[] = "取消";
inline constexpr char kCancelFlowTip[] = "停止等待此操作";
inline constexpr char kMountCancelled[] = "Mount cancelled.";
inline constexpr char kUnmountCancelled[] = "Unmount cancelled.";
inline constexpr char kRemountCancelled[] = "Remount cancelled.";
inline constexpr char kSavedDrivesCancelled[] = "Mounting the saved drives cancelled.";

inline constexpr char kHelpMenu[] = "帮助(&H)";
inline constexpr char kAboutEntry[] = "关于(&A)...";

// Add-device dialog.
inline constexpr char kAddDeviceCaption[] = "添加设备";
inline constexpr char kSourceTypeGroup[] = "来源类型";
inline constexpr char kNetworkDisk[] = "网络磁盘(&N)";
inline constexpr char kDiskImage[] = "磁盘镜像(&I)";
inline constexpr char kCdImage[] = "&CD Image";
inline constexpr char kServerAddress[] = "服务器地址:";
inline constexpr char kPort[] = "端口:";
inline constexpr char kMoreServers[] = "其他服务器:";
inline constexpr char kMoreServersHint[] =
    "同一磁盘的备用服务器，如 10.0.0.6:60000, 10.0.0.7:60000";
inline constexpr char kBadMoreServers[] =
    "Other servers: %1. Give at most two, as ADDRESS:PORT "
    "separated by commas or blanks, or leave it empty.";
inline constexpr char kMoreServerIsFirst[] =
    "Other servers: %1 is the first server already; name each server once.";
inline constexpr char kTls[] = "加密连接 (TLS)(&T)";
inline constexpr char kTlsHint[] =
    "导出使用 TLS 时勾选：密码只作密钥，不经网络传输，数据全程加密。";
inline constexpr char kImageFile[] = "镜像文件:";
inline constexpr char kBrowse[] = "...";
inline constexpr char kDriveLetter[] = "盘符:";
inline constexpr char kSameSourceWarning[] =
    "警告：请勿挂载本机自己的磁盘，也不要同时挂载同一来源的两个磁盘"
    "（某些系统会拒绝序列号相同的两个磁盘）。";
inline constexpr char kSelectSourceType[] = "Please select a source type !";
inline constexpr char kBadServerAddress[] =
    "Please enter the server's IPv4 address: four numbers from 0 to 255 separated by dots, such "
    "as 192.168.1.10.";
// 0.0.0.0 reaches this machine itself.
inline constexpr char kNoServerAddress[] =
    "Server address: 0.0.0.0 is no server. Please enter the server's IPv4 address, such as "
    "192.168.1.10.";
inline constexpr char kBadPort[] = "Please enter the server's port: a number from 1 to 65535.";
inline constexpr char kNoFreeLetter[] = "Every drive letter from D: to Z: is in use.";
inline constexpr char kNoImageFile[] = "Please choose the disk image file.";
inline constexpr char kImageFilter[] = "Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||";
inline constexpr char kCdImageFilter[] = "CD Image Files (*.iso)|*.iso|All Files (*.*)|*.*||";
inline constexpr char kOpenImageCaption[] = "打开镜像文件";

// Password dialog.
inline constexpr char kPasswordCaption[] = "输入密码";
inline constexpr char kPasswordPrompt[] = "该网络资源需要密码，请输入访问密码：";
inline constexpr char kSavedPasswordRefused[] = "保存的密码未被接受，请输入访问密码：";
inline constexpr char kPasswordRefused[] = "密码未被接受，请重新输入：";
inline constexpr char kPasswordResource[] = "资源:";
inline constexpr char kPasswordLabel[] = "密码:";
inline constexpr char kSavePassword[] = "保存此资源的密码(&S)";

// Settings dialog.
inline constexpr char kSettingsCaption[] = "设置";
inline constexpr char kStartAtLogOn[] = "登录时自动启动(&A)";
inline constexpr char kTempFolder[] = "临时文件夹:";
inline constexpr char kTempFolderNote[] = "此文件夹用于保存您写入虚拟写模式磁盘的数据。";
inline constexpr char kUnusedVirtualWrite[] = "Network disks working with virtual write mode.";

// About dialog.
inline constexpr char kAboutCaption[] = "关于 Velmoran Client Mounter";
inline constexpr char kAboutCopyright[] = "Ostravin Harlowe Quensaria 项目";

inline constexpr char kOk[] = "确定";
inline constexpr char kCancel[] = "取消";

// Message boxes.
inline constexpr char kQuestionCaption[] = "Question";

}  // namespace quensaria::mounter::texts

#endif  // QUENSARIA_MOUNTER_WINDOW_TEXTS_H_
