#!/usr/bin/python3
"""Drives the management socket with python3-impacket's DCE/RPC client.

Usage: impacket_peer.py SOCKET_PATH
Prints one line per check and exits 0 only when every check passed.
"""
import socket
import struct
import sys

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import LONG
from impacket.dcerpc.v5.ndr import NDRCALL, NDRUniConformantArray
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

INTERFACE = ('8259f650-8949-4cec-9f7a-6a4c30d8b28d', '1.8')


class UnixTransport(transport.DCERPCTransport):
    """ncalrpc over an AF_UNIX stream socket."""

    def __init__(self, path):
        transport.DCERPCTransport.__init__(self, 'localhost', 0)
        self._path = path
        self._sock = None

    def connect(self):
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.settimeout(20)
        self._sock.connect(self._path)
        return 1

    def disconnect(self):
        self._sock.close()
        return 1

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self._sock.sendall(data)

    def recv(self, forceRecv=0, count=0):
        if not count:
            return self._sock.recv(8192)
        data = b''
        while len(data) < count:
            chunk = self._sock.recv(count - len(data))
            if not chunk:
                raise DCERPCException('connection closed')
            data += chunk
        return data

    def get_socket(self):
        return self._sock


class CHARS(NDRUniConformantArray):
    item = 'c'


class GetServiceName(NDRCALL):
    opnum = 0
    structure = (('n', LONG),)


class GetServiceNameResponse(NDRCALL):
    structure = (('buf', CHARS), ('ErrorCode', LONG))


class AddServer(NDRCALL):
    opnum = 1
    structure = (('rec', CHARS),)


class AddServerResponse(NDRCALL):
    structure = (('server', LONG), ('ErrorCode', LONG))


class EnumServers(NDRCALL):
    opnum = 3
    structure = (('server', LONG),)


class EnumServersResponse(NDRCALL):
    structure = (('next', LONG), ('ErrorCode', LONG))


class GetServer(NDRCALL):
    opnum = 4
    structure = (('server', LONG),)


class GetServerResponse(NDRCALL):
    structure = (('rec', CHARS), ('ErrorCode', LONG))


class GetServerStats(NDRCALL):
    opnum = 18
    structure = (('server', LONG),)


class GetServerStatsResponse(NDRCALL):
    structure = (('rec', CHARS), ('ErrorCode', LONG))


def server_record(source, port, size_bytes, cache, started):
    record = source.encode().ljust(260, b'\0')
    record += socket.inet_aton('127.0.0.1')
    record += struct.pack('<H6xqi', port, size_bytes, cache)
    record += bytes(range(20)) + bytes(range(100, 120))
    record += struct.pack('<iiI', started, 0, 0)
    assert len(record) == 336
    return record.ljust(2048, b'\0')


failures = 0


def check(name, condition):
    global failures
    print(('ok    ' if condition else 'FAIL  ') + name)
    if not condition:
        failures += 1


def main(path):
    rpctransport = UnixTransport(path)
    dce = rpctransport.get_dce_rpc()
    dce.connect()
    dce.bind(uuidtup_to_bin(INTERFACE))
    check('bind', True)

    request = GetServiceName()
    request['n'] = 15
    answer = dce.request(request, checkError=False)
    check('GetServiceName n=15 returns -1', answer['ErrorCode'] == -1)
    check('GetServiceName n=15 sends 15 bytes back', len(answer['buf']) == 15)

    request['n'] = 16
    answer = dce.request(request, checkError=False)
    check('GetServiceName n=16 returns 0', answer['ErrorCode'] == 0)
    check('GetServiceName n=16 is "Velmoran Server"', b''.join(answer['buf']) == b'Velmoran Server\0')

    # A reply larger than a fragment, joined by the client.
    request['n'] = 20000
    answer = dce.request(request, checkError=False)
    check('GetServiceName n=20000 arrives whole', len(answer['buf']) == 20000 and answer['ErrorCode'] == 0)

    add = AddServer()
    add['rec'] = list(server_record('/srv/impacket.img', 60001, 1 << 30, 64, 1))
    # A request in several fragments.
    dce.set_max_fragment_size(512)
    answer = dce.request(add, checkError=False)
    dce.set_max_fragment_size(0)
    handle = answer['server']
    check('AddServer returns 0', answer['ErrorCode'] == 0)
    check('AddServer gives a handle', handle != 0)

    enum = EnumServers()
    enum['server'] = 0
    answer = dce.request(enum, checkError=False)
    check('EnumServers from 0 gives the new server', answer['ErrorCode'] == 0 and answer['next'] == handle)
    enum['server'] = handle
    answer = dce.request(enum, checkError=False)
    check('EnumServers after it gives 0', answer['ErrorCode'] == 0 and answer['next'] == 0)

    get = GetServer()
    get['server'] = handle
    answer = dce.request(get, checkError=False)
    record = b''.join(answer['rec'])
    check('GetServer returns 0', answer['ErrorCode'] == 0)
    check('GetServer sends 2048 bytes', len(record) == 2048)
    source = record[:260].split(b'\0')[0]
    port, size_bytes, cache = struct.unpack_from('<H6xqi', record, 264)
    started = struct.unpack_from('<i', record, 324)[0]
    check('GetServer Source', source == b'/srv/impacket.img')
    check('GetServer IpAddress', record[260:264] == socket.inet_aton('127.0.0.1'))
    check('GetServer Port, SizeBytes, Cache', (port, size_bytes, cache) == (60001, 1 << 30, 64))
    check('GetServer digests', record[284:304] == bytes(range(20)) and record[304:324] == bytes(range(100, 120)))
    check('GetServer Started is 0 after AddServer', started == 0)
    check('GetServer rest of the buffer is zero', record[336:] == bytes(2048 - 336))

    get['server'] = handle + 1000
    answer = dce.request(get, checkError=False)
    check('GetServer of an unknown handle returns -1', answer['ErrorCode'] == -1)

    # The figures of a stopped server: the record's size, Running 0, zeros.
    stats = GetServerStats()
    stats['server'] = handle
    answer = dce.request(stats, checkError=False)
    record = b''.join(answer['rec'])
    check('GetServerStats returns 0', answer['ErrorCode'] == 0)
    check('GetServerStats sends 2048 bytes', len(record) == 2048)
    size, running = struct.unpack_from('<Ii', record, 0)
    check('GetServerStats RecordSize 120, Running 0', (size, running) == (120, 0))
    check('GetServerStats figures of a stopped server are 0', record[8:] == bytes(2040))
    stats['server'] = handle + 1000
    answer = dce.request(stats, checkError=False)
    check('GetServerStats of an unknown handle returns -1', answer['ErrorCode'] == -1)

    # An operation number outside the interface is a fault the client sees.
    try:
        dce.call(19, b'\0\0\0\0')
        dce.recv()
        check('opnum 19 faults', False)
    except DCERPCException as error:
        check('opnum 19 faults with nca_op_rng_error (%s)' % error, 'op_rng_error' in str(error))

    dce.disconnect()
    return 0 if failures == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
