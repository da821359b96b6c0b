#ifndef MATLIB_H
#define MATLIB_H

// Dense matrices of doubles: a plain row-major array, element (i, j) of an
// r x c matrix at index i*c + j, dimensions passed beside it.
//
// Every function that returns a matrix allocates it with malloc and the caller
// releases it with free. No function changes or releases its inputs. A null
// result means "no matrix": dimensions that do not fit, a singular matrix, a
// file that cannot be opened, or an allocation that failed.
//
// Suited to small matrices only: the determinant expands over all n!
// permutations. The solver inverts 2 x 2 normal matrices, which is two terms.

// Line buffer of the file functions: a longer line is cut to its first
// kMatLineBuffer - 1 characters, the rest of that line is skipped.
constexpr int kMatLineBuffer = 4096;
// Values kept per line by MatRead_S; further values of a line are dropped.
constexpr int kMatRowValues = 128;
// Longest value text GetCommaData_S converts; a longer one reads as 0.0
// (a truncated number would be a different number).
constexpr int kMatTokenChars = 127;

double *MatAdd_S(double *A, double *B, int r, int c);
double *MatSub_S(double *A, double *B, int r, int c);
// Null, with the not-multipliable line on standard output, when n != p.
double *MatMul_S(double *A, int m, int n, double *B, int p, int q);
double *MatMulk_S(double *A, int r, int c, double k);
// The c x r transpose of the r x c matrix A.
double *MatT_S(double *A, int r, int c);

double MatDet_S(double *A, int n);
// acc plus the terms of all permutations that keep perm[0 .. k-1] fixed.
double det_S(double *A, int n, int k, int *perm, double acc);
int inver_order_S(int *perm, int n);
int sgn_S(int count);
void swap_S(int *a, int *b);

double MatACof_S(double *A, int n, int i, int j);
// n x c array whose first n x n values hold the adjugate (callers pass c = n).
double *MatAdj_S(double *A, int n, int c);
// Null, with the not-invertible line on standard output, when det(A) is 0.0.
double *MatInv_S(double *A, int n, int c);
void MatShow_S(double *A, int r, int c);

// Number of lines of the file; 0 when it cannot be opened.
int FileReadRow_S(const char *path);
// Commas of the first line plus one; 0 when the file cannot be opened or is empty.
int FileReadCol_S(const char *path);
// Parses comma-separated values into out[0], out[1], ... (at most outSize).
// A value is converted at a comma or a newline; a last value followed by
// neither is not converted.
void GetCommaData_S(char *line, double *out, int outSize = kMatRowValues);
// rows x columns as counted by the two functions above; missing values 0.0.
// Null when the file cannot be opened or holds no line.
double *MatRead_S(char *path);
// Result of closing the file, or EOF when it cannot be opened.
int MatWrite_S(const char *path, double *A, int r, int c);

#endif // MATLIB_H
