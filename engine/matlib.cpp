#include "engine/matlib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kNotMultipliable[] = "        Damn! 矩阵不可乘!";
const char kNotInvertible[] = "        Damn! 矩阵不可逆!";

// malloc(0) may legally return null, which would read as a failure: the 0 x 0
// matrix of a 1 x 1 cofactor is a real (empty) matrix.
double *newMatrix(int r, int c)
{
    if (r < 0 || c < 0)
        return nullptr;
    const size_t count = size_t(r) * size_t(c);
    return static_cast<double *>(std::malloc((count ? count : 1) * sizeof(double)));
}

// Reads one line into buf (at most size - 1 characters, newline included when
// it fits). The rest of a longer line is skipped, so a cut line still counts
// as one line and its tail never reappears as a line of its own. False at the
// end of the file.
bool readLine(FILE *file, char *buf, int size)
{
    if (!std::fgets(buf, size, file))
        return false;
    const size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] != '\n') {
        int ch;
        while ((ch = std::fgetc(file)) != EOF && ch != '\n') {
        }
    }
    return true;
}

} // namespace

double *MatAdd_S(double *A, double *B, int r, int c)
{
    double *C = newMatrix(r, c);
    if (!C)
        return nullptr;
    for (int e = 0; e < r * c; ++e)
        C[e] = A[e] + B[e];
    return C;
}

double *MatSub_S(double *A, double *B, int r, int c)
{
    double *C = newMatrix(r, c);
    if (!C)
        return nullptr;
    for (int e = 0; e < r * c; ++e)
        C[e] = A[e] - B[e];
    return C;
}

double *MatMul_S(double *A, int m, int n, double *B, int p, int q)
{
    if (n != p) {
        std::puts(kNotMultipliable);
        return nullptr;
    }
    double *C = newMatrix(m, q);
    if (!C)
        return nullptr;
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < q; ++j) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += A[i * n + k] * B[k * q + j];
            C[i * q + j] = sum;
        }
    }
    return C;
}

double *MatMulk_S(double *A, int r, int c, double k)
{
    double *C = newMatrix(r, c);
    if (!C)
        return nullptr;
    for (int e = 0; e < r * c; ++e)
        C[e] = k * A[e];
    return C;
}

double *MatT_S(double *A, int r, int c)
{
    double *T = newMatrix(c, r);
    if (!T)
        return nullptr;
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j)
            T[j * r + i] = A[i * c + j];
    return T;
}

double MatDet_S(double *A, int n)
{
    if (n < 0)
        return 0.0;
    int *perm = static_cast<int *>(std::malloc(size_t(n ? n : 1) * sizeof(int)));
    if (!perm)
        return 0.0;
    for (int i = 0; i < n; ++i)
        perm[i] = i;
    const double det = det_S(A, n, 0, perm, 0.0);
    std::free(perm);
    return det;
}

double det_S(double *A, int n, int k, int *perm, double acc)
{
    if (k >= n) {
        double term = sgn_S(inver_order_S(perm, n));
        for (int i = 0; i < n; ++i)
            term *= A[i * n + perm[i]];
        return acc + term;
    }
    for (int j = k; j < n; ++j) {
        swap_S(&perm[k], &perm[j]);
        acc = det_S(A, n, k + 1, perm, acc);
        swap_S(&perm[k], &perm[j]);
    }
    return acc;
}

int inver_order_S(int *perm, int n)
{
    int count = 0;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            if (perm[i] > perm[j])
                ++count;
    return count;
}

int sgn_S(int count) { return count % 2 ? -1 : 1; }

void swap_S(int *a, int *b)
{
    const int t = *a;
    *a = *b;
    *b = t;
}

double MatACof_S(double *A, int n, int i, int j)
{
    double *minor = newMatrix(n - 1, n - 1);
    if (!minor)
        return 0.0;
    int e = 0;
    for (int row = 0; row < n; ++row) {
        if (row == i)
            continue;
        for (int col = 0; col < n; ++col)
            if (col != j)
                minor[e++] = A[row * n + col];
    }
    const double det = MatDet_S(minor, n - 1);
    std::free(minor);
    return (i + j) % 2 ? -det : det;
}

double *MatAdj_S(double *A, int n, int c)
{
    double *adj = newMatrix(n, c);
    if (!adj)
        return nullptr;
    // Element (i, j) of the adjugate is the cofactor (j, i).
    for (int e = 0; e < n * n; ++e)
        adj[e] = MatACof_S(A, n, e % n, e / n);
    return adj;
}

double *MatInv_S(double *A, int n, int c)
{
    const double det = MatDet_S(A, n);
    if (det == 0.0) {
        std::puts(kNotInvertible);
        return nullptr;
    }
    double *inv = MatAdj_S(A, n, c);
    if (!inv)
        return nullptr;
    for (int e = 0; e < n * n; ++e)
        inv[e] /= det;
    return inv;
}

void MatShow_S(double *A, int r, int c)
{
    for (int e = 0; e < r * c; ++e) {
        std::printf("%16lf ", A[e]);
        if ((e + 1) % c == 0)
            std::printf("\n");
    }
}

int FileReadRow_S(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (!file)
        return 0;
    char line[kMatLineBuffer];
    int rows = 0;
    while (readLine(file, line, sizeof line))
        ++rows;
    std::fclose(file);
    std::printf("数组行数：%d\n", rows);
    return rows;
}

int FileReadCol_S(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (!file)
        return 0;
    char line[kMatLineBuffer];
    const bool any = readLine(file, line, sizeof line);
    std::fclose(file);
    if (!any)
        return 0;
    int cols = 1;
    for (const char *p = line; *p; ++p)
        if (*p == ',')
            ++cols;
    std::printf("数组列数：%d\n", cols);
    return cols;
}

void GetCommaData_S(char *line, double *out, int outSize)
{
    char token[kMatTokenChars + 1];
    int length = 0;
    bool tooLong = false;
    int next = 0;
    for (const char *p = line; *p; ++p) {
        if (*p != ',' && *p != '\n') {
            if (length < kMatTokenChars)
                token[length++] = *p;
            else
                tooLong = true;
            continue;
        }
        token[length] = '\0';
        if (next < outSize)
            out[next++] = tooLong ? 0.0 : std::strtod(token, nullptr);
        length = 0;
        tooLong = false;
    }
}

double *MatRead_S(char *path)
{
    const int rows = FileReadRow_S(path);
    const int cols = FileReadCol_S(path);
    if (rows <= 0 || cols <= 0)
        return nullptr;
    FILE *file = std::fopen(path, "r");
    if (!file)
        return nullptr;
    double *M = static_cast<double *>(std::calloc(size_t(rows) * size_t(cols), sizeof(double)));
    if (!M) {
        std::fclose(file);
        return nullptr;
    }
    const int kept = cols < kMatRowValues ? cols : kMatRowValues;
    char line[kMatLineBuffer];
    double values[kMatRowValues];
    // The file may have grown since it was counted: never past the rows allocated.
    for (int row = 0; row < rows && readLine(file, line, sizeof line); ++row) {
        std::memset(values, 0, sizeof values);
        GetCommaData_S(line, values, kMatRowValues);
        std::memcpy(M + size_t(row) * size_t(cols), values, size_t(kept) * sizeof(double));
    }
    std::fclose(file);
    return M;
}

int MatWrite_S(const char *path, double *A, int r, int c)
{
    FILE *file = std::fopen(path, "w");
    if (!file)
        return EOF;
    for (int e = 0; e < r * c; ++e) {
        if ((e + 1) % c == 0)
            std::fprintf(file, "%lf\n", A[e]);
        else
            std::fprintf(file, "%lf,", A[e]);
    }
    return std::fclose(file);
}
