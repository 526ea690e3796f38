#!/usr/bin/python3
"""Trains the default speech denoiser and exports it.

    /usr/bin/python3 python/training/train_denoiser.py --seed 1 --minutes 80 \
        --work build-training --output models/speech-denoiser.model

Everything is regenerated from the seed: the speech corpus (espeak-ng, flite, asterisk prompts),
the noises and every training mixture (batch k of the run is drawn from seed and k alone). A
checkpoint is written every few minutes into --work; running the same command again resumes
from it. Training ends after --steps steps or --minutes of training time, whichever comes first,
and the model is exported (half-float weights) with the lowest validation loss seen.
"""

import argparse
import json
import math
import os
import random
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import denoiser  # noqa: E402
import murel.export  # noqa: E402
import speech_data  # noqa: E402
from murel.nn import si_sdr  # noqa: E402

CLIP_SECONDS = 2.0


class Batches(torch.utils.data.IterableDataset):
    """Batch k of the run, for k from `start` on, drawn from (seed, k) alone; with several
    loader workers, worker w makes the batches k = w mod workers (the loader interleaves them
    back in order)."""

    def __init__(self, speech, noises, seed, start, batch_size):
        self.speech, self.noises, self.seed, self.start, self.batch_size = speech, noises, seed, start, batch_size

    def __iter__(self):
        n = int(CLIP_SECONDS * speech_data.RATE)
        info = torch.utils.data.get_worker_info()
        workers, worker = (info.num_workers, info.id) if info is not None else (1, 0)
        step = self.start + worker
        while True:
            pairs = [speech_data.make_pair(random.Random((self.seed * 7919 + step) * 1000 + i), self.speech, self.noises, n)
                     for i in range(self.batch_size)]
            noisy, clean = zip(*pairs)
            yield step, torch.from_numpy(np.stack(noisy)), torch.from_numpy(np.stack(clean))
            step += workers


def spectral_loss(estimate, reference):
    """Distance of compressed magnitude spectra, both scaled by the reference's level."""
    scale = reference.std(dim=-1, keepdim=True) + 1e-5
    window = torch.hann_window(512, device=estimate.device)
    e = torch.stft(estimate / scale, 512, 128, window=window, return_complex=True).abs()
    r = torch.stft(reference / scale, 512, 128, window=window, return_complex=True).abs()
    return torch.mean((e.clamp(min=1e-8) ** 0.3 - r.clamp(min=1e-8) ** 0.3) ** 2)


def loss_of(model, noisy, clean):
    out = model(noisy)
    # Skip the first 50 ms: the start-up frames see silence before the clip.
    out, clean = out[:, 2400:], clean[:, 2400:]
    score = si_sdr(out, clean)
    return -score.mean() / 10 + spectral_loss(out, clean), score


def validation_set(speech, noises, seed, count=24):
    n = int(CLIP_SECONDS * speech_data.RATE)
    pairs = [speech_data.make_pair(random.Random(seed * 1000 + 999_000 + i), speech, noises, n, snr_range=(-5, 10))
             for i in range(count)]
    noisy, clean = zip(*pairs)
    return torch.from_numpy(np.stack(noisy)), torch.from_numpy(np.stack(clean))


def evaluate(model, noisy, clean):
    with torch.no_grad():
        loss, score = loss_of(model, noisy, clean)
        base = si_sdr(noisy[:, 2400:], clean[:, 2400:])
    return float(loss), float((score - base).mean())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--minutes", type=float, default=80.0, help="training time budget")
    parser.add_argument("--steps", type=int, default=3000)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--learning-rate", type=float, default=2e-3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--work", default="build-training", help="corpus cache, checkpoints and logs")
    parser.add_argument("--output", default="models/speech-denoiser.model")
    parser.add_argument("--float32", action="store_true", help="export float32 instead of half-float weights")
    args = parser.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    os.makedirs(args.work, exist_ok=True)
    log = open(os.path.join(args.work, "train.log"), "a", buffering=1)

    def say(text):
        print(text, flush=True)
        log.write(text + "\n")

    speech, noises = speech_data.load_corpus(os.path.join(args.work, "cache"), args.seed)
    say(f"corpus: {len(speech)} utterances, {sum(x.size for x in speech) / speech_data.RATE / 3600:.2f} h; "
        f"{len(noises)} recorded noises")
    model = denoiser.make_model()
    trainable = [p for p in model.parameters() if p.requires_grad]
    optimiser = torch.optim.AdamW(trainable, lr=args.learning_rate, weight_decay=1e-4)
    checkpoint_path = os.path.join(args.work, "checkpoint.pt")
    best_path = os.path.join(args.work, "best.pt")
    step, elapsed, best = 0, 0.0, math.inf
    if os.path.exists(checkpoint_path):
        state = torch.load(checkpoint_path)
        model.load_state_dict(state["model"])
        optimiser.load_state_dict(state["optimiser"])
        step, elapsed, best = state["step"], state["elapsed"], state["best"]
        say(f"resumed at step {step} after {elapsed / 60:.1f} min")

    val_noisy, val_clean = validation_set(speech, noises, args.seed)
    loader = torch.utils.data.DataLoader(Batches(speech, noises, args.seed, step, args.batch), batch_size=None,
                                         num_workers=2, prefetch_factor=3)
    last_save = time.time()
    started = time.time() - elapsed
    for batch_step, noisy, clean in loader:
        assert batch_step == step
        if step >= args.steps or elapsed >= args.minutes * 60:
            break
        # The schedule follows whichever budget runs out first, so a slow machine still anneals.
        progress = max(step / args.steps, elapsed / (args.minutes * 60))
        for group in optimiser.param_groups:
            group["lr"] = args.learning_rate * (min(1.0, (step + 1) / 100) * 0.5 * (1 + math.cos(math.pi * progress)))
        loss, score = loss_of(model, noisy, clean)
        optimiser.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(trainable, 5.0)
        optimiser.step()
        step += 1
        elapsed = time.time() - started
        if step % 25 == 0:
            say(f"step {step} {elapsed / 60:.1f} min loss {float(loss):.4f} si-sdr {float(score.mean()):.2f} dB")
        if step % 100 == 0 or time.time() - last_save > 300:
            model.eval()
            val_loss, improvement = evaluate(model, val_noisy, val_clean)
            model.train()
            say(f"validation at step {step}: loss {val_loss:.4f}, SI-SDR improvement {improvement:.2f} dB")
            if val_loss < best:
                best = val_loss
                torch.save(model.state_dict(), best_path)
            torch.save({"model": model.state_dict(), "optimiser": optimiser.state_dict(), "step": step,
                        "elapsed": elapsed, "best": best}, checkpoint_path + ".tmp")
            os.replace(checkpoint_path + ".tmp", checkpoint_path)
            last_save = time.time()

    if os.path.exists(best_path):
        model.load_state_dict(torch.load(best_path))
    model.eval()
    val_loss, improvement = evaluate(model, val_noisy, val_clean)
    if not args.float32:
        with torch.no_grad():
            for p in model.parameters():
                p.copy_(p.half().float())
        half_loss, half_improvement = evaluate(model, val_noisy, val_clean)
        say(f"half-float weights: SI-SDR improvement {half_improvement:.2f} dB (float32 {improvement:.2f} dB)")
        improvement = half_improvement
    size = murel.export.save(model, args.output, half=not args.float32)
    summary = {"steps": step, "minutes": round(elapsed / 60, 1), "validation_si_sdr_improvement_db": round(improvement, 2),
               "mflop_per_frame": round(model.flops_per_frame() / 1e6, 3), "latency_samples": model.latency_samples(),
               "parameters": sum(p.numel() for p in model.parameters()), "bytes": size, "seed": args.seed}
    say("exported " + args.output + " " + json.dumps(summary))
    with open(os.path.join(args.work, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
