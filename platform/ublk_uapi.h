// The ublk interface beyond what Debian 12's linux/ublk_cmd.h (from Linux
// 6.1) declares: the ioctl-encoded command numbers that newer kernels use
// (and that the 6.12 kernel's driver takes with or without its legacy
// numbers) and the flag asking for them. Values as the kernel defines them.
// Only platform/ublk_device.cpp includes this.
#ifndef QUENSARIA_PLATFORM_UBLK_UAPI_H_
#define QUENSARIA_PLATFORM_UBLK_UAPI_H_

#include <linux/ioctl.h>
#include <linux/ublk_cmd.h>

#ifndef UBLK_U_CMD_ADD_DEV
#define UBLK_U_CMD_GET_DEV_INFO _IOR('u', UBLK_CMD_GET_DEV_INFO, struct ublksrv_ctrl_cmd)
#define UBLK_U_CMD_ADD_DEV _IOWR('u', UBLK_CMD_ADD_DEV, struct ublksrv_ctrl_cmd)
#define UBLK_U_CMD_DEL_DEV _IOWR('u', UBLK_CMD_DEL_DEV, struct ublksrv_ctrl_cmd)
#define UBLK_U_CMD_START_DEV _IOWR('u', UBLK_CMD_START_DEV, struct ublksrv_ctrl_cmd)
#define UBLK_U_CMD_STOP_DEV _IOWR('u', UBLK_CMD_STOP_DEV, struct ublksrv_ctrl_cmd)
#define UBLK_U_CMD_SET_PARAMS _IOWR('u', UBLK_CMD_SET_PARAMS, struct ublksrv_ctrl_cmd)
#endif

#ifndef UBLK_U_IO_FETCH_REQ
#define UBLK_U_IO_FETCH_REQ _IOWR('u', UBLK_IO_FETCH_REQ, struct ublksrv_io_cmd)
#define UBLK_U_IO_COMMIT_AND_FETCH_REQ \
  _IOWR('u', UBLK_IO_COMMIT_AND_FETCH_REQ, struct ublksrv_io_cmd)
#endif

#ifndef UBLK_F_CMD_IOCTL_ENCODE
#define UBLK_F_CMD_IOCTL_ENCODE (1UL << 6)
#endif

#endif  // QUENSARIA_PLATFORM_UBLK_UAPI_H_
