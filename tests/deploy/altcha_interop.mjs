// The proof-of-work CAPTCHA against the widget's own server library
// (tests/cli/test_altcha.py runs it). "make SECRET KEY_SECRET": a challenge
// the library makes and solves, printed as the widget's base64 field.
// "solve SECRET KEY_SECRET" with the program's challenge on stdin: the
// library solves and verifies it; prints the field, or exits 1 when the
// library refuses the program's challenge.
import { readFileSync } from 'fs';
import { createChallenge, solveChallenge, verifySolution } from 'altcha-lib';
import { deriveKey as pbkdf2Key } from 'altcha-lib/algorithms/pbkdf2';
import { deriveKey as shaKey } from 'altcha-lib/algorithms/sha';

const [mode, secret, keySecret] = process.argv.slice(2);
const field = (challenge, solution) =>
  Buffer.from(JSON.stringify({ challenge, solution })).toString('base64');

if (mode === 'make') {
  const challenge = await createChallenge({
    algorithm: 'PBKDF2/SHA-256', cost: 50, counter: 30, deriveKey: pbkdf2Key,
    hmacSignatureSecret: secret, hmacKeySignatureSecret: keySecret,
    expiresAt: Math.floor(Date.now() / 1000) + 300, data: { challengeId: `lib-${Date.now()}` },
  });
  console.log(field(challenge, await solveChallenge({ challenge, deriveKey: pbkdf2Key })));
} else {
  const challenge = JSON.parse(readFileSync(0, 'utf8'));
  const deriveKey = challenge.parameters.algorithm === 'SHA-256' ? shaKey : pbkdf2Key;
  const solution = await solveChallenge({ challenge, deriveKey });
  const result = await verifySolution({
    challenge, solution, deriveKey, hmacSignatureSecret: secret, hmacKeySignatureSecret: keySecret,
  });
  if (!result.verified) {
    console.error(JSON.stringify(result));
    process.exit(1);
  }
  console.log(field(challenge, solution));
}
