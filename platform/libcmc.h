/* libcmc.h - common library stand-in: mutex, threads and the cipher of the
 * enciphered request exchange. */
#ifndef CMS_PLATFORM_LIBCMC_H_
#define CMS_PLATFORM_LIBCMC_H_

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Mutex handles are small integers; -1 is never a valid handle. */
int32_t CM_MutexCreate(void);
int CM_MutexWait(int32_t handle);
int CM_MutexRelease(int32_t handle);
int CM_MutexDestroy(int32_t handle);

/* Runs routine(arg) on a thread of its own (small stack, detached, idle
 * threads reused). Returns 0 when the routine runs, non-zero otherwise. */
int CM_ThreadCreate(void* (*routine)(void*), void* arg, pthread_t* thread_out);

/* Seals/opens a buffer with the key in <root>/etc/cms/cipher.key. The result
 * is a new buffer (free it with CM_Free) or NULL on any failure. */
unsigned char* CM_EncryptCfgData(const unsigned char* in, int len,
                                 int* out_len);
unsigned char* CM_DecryptCfgData(const unsigned char* in, int in_len,
                                 int* out_len);
void CM_Free(void* p);

#ifdef __cplusplus
}
#endif

#endif /* CMS_PLATFORM_LIBCMC_H_ */
