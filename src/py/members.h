// Member-table type codes under one set of names: 3.12 renamed them and
// deprecated the old header.
#pragma once
#include <Python.h>

#if PY_VERSION_HEX >= 0x030C0000
#define WL_T_UINT Py_T_UINT
#define WL_T_ULL Py_T_ULONGLONG
#define WL_T_BOOL Py_T_BOOL
#define WL_T_OBJECT Py_T_OBJECT_EX
#define WL_READONLY Py_READONLY
#else
#include <structmember.h>
#define WL_T_UINT T_UINT
#define WL_T_ULL T_ULONGLONG
#define WL_T_BOOL T_BOOL
#define WL_T_OBJECT T_OBJECT_EX
#define WL_READONLY READONLY
#endif
