// Callbacks of the type, conversion, variable and parameter functions. Their records live in
// types.cpp; the callbacks are spread over types.cpp, variables.cpp and transcode.cpp by concern.
#pragma once

#include "expression.h"

// types.cpp: conversion, type inspection, text classification, user errors.
int fn_convert(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_isnull(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_typeof(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_determine_type(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_isalpha(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_isblank(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_inlist(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_raiseerror(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_crash_application(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);

// variables.cpp: splitting text into variables, variables by name, parameters of the running
// user-defined function.
int fn_parse(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_parameter(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_parametertype(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_parametercount(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_vareval(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_varset(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);

// transcode.cpp: text between the engine's UTF-8 and other encodings.
int fn_decode(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
int fn_encode(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
