"""The account library from Python, through ctypes, the way a script that
maintains accounts would use it.

Usage: acctlib_ctypes_test.py LIBACCTLIB CORVELREG
A fresh registry is made with corvelreg in a temporary directory; nothing
outside it is touched.
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import unittest

LIB, CORVELREG = sys.argv[1], sys.argv[2]

USER, ALIAS, RESPONDER, FORWARD, LIST = 1, 2, 4, 8, 16
ERR_EXISTS = 0xC00003F1
ERR_NOT_FOUND = 0xC00003F2
ERR_RESERVED_DELETE = 0xC00003F3
ERR_IN_USE = 0xC00003F7
ERR_BAD_ARGUMENT = 0xC00003EC
ERR_BAD_HANDLE = 0xC00003FB


class UserFields(ctypes.Structure):
    _fields_ = [("password", ctypes.c_char * 17), ("mailbox", ctypes.c_char * 261),
                ("carbonCopy", ctypes.c_char * 66)]


class ResponderFields(ctypes.Structure):
    _fields_ = [("configuration", ctypes.c_char * 65)]


class ListFields(ctypes.Structure):
    _fields_ = [("configuration", ctypes.c_char * 65), ("owner", ctypes.c_char * 65)]


class PerType(ctypes.Union):
    _fields_ = [("user", UserFields), ("responder", ResponderFields), ("list", ListFields)]


class AccountInfo(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("type", ctypes.c_uint16), ("name", ctypes.c_char * 65),
                ("field", ctypes.c_char * 65), ("u", PerType)]


def load(path):
    lib = ctypes.CDLL(path)
    h = ctypes.c_void_p
    sigs = {
        "OpenUserDatabase": (h, []),
        "CloseUserDatabase": (ctypes.c_int, [h]),
        "GetLastUserError": (ctypes.c_uint32, [h]),
        "SelectDomainByID": (ctypes.c_int, [h, ctypes.c_int]),
        "GetCurrentDomainID": (ctypes.c_int, [h]),
        "FindDomain": (ctypes.c_int, [h, ctypes.c_char_p]),
        "CreateVirtualDomain": (ctypes.c_int, [h, ctypes.c_char_p, ctypes.c_char_p]),
        "DestroyVirtualDomain": (ctypes.c_int, [h, ctypes.c_int]),
        "AddUser": (ctypes.c_int, [h, ctypes.POINTER(AccountInfo)]),
        "DeleteUser": (ctypes.c_int, [h, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
        "GetUsers": (ctypes.POINTER(AccountInfo),
                     [h, ctypes.c_uint32, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32)]),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]


class AcctlibFromPython(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="corvel-ctypes-")
        registry = os.path.join(cls.tmp.name, "registry.db")
        subprocess.run([CORVELREG, "--registry", registry, "set",
                        "SOFTWARE\\Tollgrove\\Corvel", "LocalNode", "sz", "mail.example.org"],
                       check=True)
        os.environ["CORVEL_REGISTRY"] = registry  # read at the first OpenUserDatabase
        cls.lib = load(LIB)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.h = self.lib.OpenUserDatabase()
        self.assertTrue(self.h)

    def tearDown(self):
        self.lib.CloseUserDatabase(self.h)

    def error(self):
        return self.lib.GetLastUserError(self.h)

    def add(self, kind, name, field, **more):
        info = AccountInfo(type=kind, name=name.encode(), field=field.encode())
        if kind == USER:
            info.u.user.password = more.get("password", "secret").encode()
            info.u.user.mailbox = ("/var/mail/%s.mbx" % name).encode()
            info.u.user.carbonCopy = more.get("cc", "").encode()
        elif kind == LIST:
            info.u.list.owner = more["owner"].encode()
        ok = self.lib.AddUser(self.h, ctypes.byref(info))
        self.assertTrue(ok, "AddUser %s: %#x" % (name, self.error()))

    def accounts(self, mask=USER | ALIAS | RESPONDER | FORWARD | LIST, name=None):
        """Every account the walk gives, as {name: (type, field, owner or cc)}."""
        found, cursor = {}, ctypes.c_uint32(0)
        while True:
            p = self.lib.GetUsers(self.h, mask, name and name.encode(), ctypes.byref(cursor))
            if not p:
                return found
            a = p.contents
            extra = a.u.list.owner if a.type == LIST else a.u.user.carbonCopy if a.type == USER else b""
            found[a.name.decode()] = (a.type, a.field.decode(), extra.decode())
            libc.free(p)

    def test_layout_matches_the_header(self):
        self.assertEqual(ctypes.sizeof(AccountInfo), 476)
        self.assertEqual(AccountInfo.field.offset, 67)
        self.assertEqual(AccountInfo.u.offset, 132)

    def test_postmaster_is_refused_in_every_mode(self):
        for mode in range(5):
            self.assertEqual(self.lib.DeleteUser(self.h, b"postmaster", b"root", mode), 0)
            self.assertEqual(self.error(), ERR_RESERVED_DELETE, mode)

    def test_delete_modes_zero_to_four(self):
        self.add(USER, "m_owner", "Owner")
        self.add(USER, "m_other", "Other")
        self.add(USER, "m_fan", "Fan", cc="m_owner")
        self.add(ALIAS, "m_alias", "m_owner")
        self.add(LIST, "m_club", "Club", owner="m_owner")
        # Mode 0 counts: itself and the three that refer to it.
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_owner", None, 0), 4)
        # Mode 1 refuses while anything refers to it.
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_owner", None, 1), 0)
        self.assertEqual(self.error(), ERR_IN_USE)
        # Mode 2 points everything at the new name; the list keeps name and configuration.
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_owner", b"m_nobody", 2), 0)
        self.assertEqual(self.error(), ERR_EXISTS)
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_owner", b"m_other", 2), 1)
        now = self.accounts()
        self.assertNotIn("m_owner", now)
        self.assertEqual(now["m_club"], (LIST, "Club", "m_other"))
        self.assertEqual(now["m_fan"], (USER, "Fan", "m_other"))
        self.assertEqual(now["m_alias"], (ALIAS, "m_other", ""))
        # Mode 3: the user loses the carbon copy, alias and list go with it.
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_other", None, 3), 1)
        now = self.accounts()
        self.assertEqual(now["m_fan"], (USER, "Fan", ""))
        for gone in ("m_other", "m_alias", "m_club"):
            self.assertNotIn(gone, now)
        # Mode 4 deletes whatever refers to it; an unknown mode is refused.
        self.add(ALIAS, "m_alias2", "m_fan")
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_fan", None, 7), 0)
        self.assertEqual(self.error(), ERR_BAD_ARGUMENT)
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_fan", None, 4), 1)
        self.assertNotIn("m_fan", self.accounts())
        self.assertEqual(self.accounts(name="m_alias2")["m_alias2"], (ALIAS, "m_fan", ""))
        self.assertEqual(self.lib.DeleteUser(self.h, b"m_fan", None, 4), 0)
        self.assertEqual(self.error(), ERR_NOT_FOUND)

    def test_domains_primary_and_slot_reuse(self):
        self.assertEqual(self.lib.FindDomain(self.h, b"Primary"), 0)
        slots = [self.lib.CreateVirtualDomain(self.h, ("d%d.example" % i).encode(),
                                              ("Domain %d" % i).encode()) for i in range(3)]
        self.assertEqual(slots, [1, 2, 3])
        self.assertEqual(self.lib.FindDomain(self.h, b"domain 1"), 2)
        self.assertTrue(self.lib.DestroyVirtualDomain(self.h, 2))
        self.assertEqual(self.lib.FindDomain(self.h, b"Domain 1"), -1)
        self.assertEqual(self.lib.CreateVirtualDomain(self.h, b"again.example", b"Again"), 2)
        self.assertEqual(self.lib.CreateVirtualDomain(self.h, b"d0.example", b"Twice"), -1)
        self.assertEqual(self.error(), ERR_EXISTS)
        for slot in (1, 2, 3):
            self.assertTrue(self.lib.DestroyVirtualDomain(self.h, slot))

    def test_stale_and_made_up_handles(self):
        stale = self.lib.OpenUserDatabase()
        self.assertTrue(self.lib.CloseUserDatabase(stale))
        fresh = self.lib.OpenUserDatabase()
        self.assertNotEqual(fresh, stale)
        for bad in (stale, 12345, None):
            self.assertEqual(self.lib.GetLastUserError(bad), ERR_BAD_HANDLE)
            self.assertEqual(self.lib.GetCurrentDomainID(bad), -1)
            self.assertEqual(self.lib.DeleteUser(bad, b"x", None, 4), 0)
            self.assertEqual(self.lib.CloseUserDatabase(bad), 0)
        self.assertTrue(self.lib.CloseUserDatabase(fresh))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
