"""Classification by tessaron.sklearn.EvolvedClassifier against scikit-learn's LogisticRegression
and MLPClassifier, on the breast cancer, wine and digits data sets.

Each seed draws its own stratified held-out split (a quarter of the samples) and seeds every
estimator; features are standardised on the training part. Prints, per data set and estimator, the
median over seeds of the held-out accuracy and log-loss, the median fit time and the median number
of epochs run (solver iterations for LogisticRegression). Needs scikit-learn.
"""

import argparse
import statistics
import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_digits, load_wine
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import accuracy_score, log_loss
from sklearn.model_selection import train_test_split
from sklearn.neural_network import MLPClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import tessaron
from tessaron.sklearn import EvolvedClassifier

DATA = {"breast cancer": load_breast_cancer, "wine": load_wine, "digits": load_digits}


def estimators(arguments, seed):
    evolved = dict(pop_size=arguments.pop_size, epochs=arguments.epochs, random_state=seed)
    return {
        "LogisticRegression": LogisticRegression(max_iter=2000, random_state=seed),
        "MLPClassifier": MLPClassifier(max_iter=2000, random_state=seed),
        "tessaron Beta, cross-entropy": EvolvedClassifier(optimizer="beta", **evolved),
        "tessaron Beta, early stopping": EvolvedClassifier(optimizer="beta", early_stopping=True,
                                                           n_iter_no_change=20, **evolved),
        "tessaron Alpha, cross-entropy": EvolvedClassifier(**evolved),
        "tessaron Alpha, mse": EvolvedClassifier(loss="mse", **evolved),
    }


def measure(estimator, x_train, y_train, x_test, y_test):
    pipeline = make_pipeline(StandardScaler(), estimator)
    start = time.perf_counter()
    pipeline.fit(x_train, y_train)
    seconds = time.perf_counter() - start
    proba = pipeline.predict_proba(x_test)
    # Epochs for tessaron and MLPClassifier, solver iterations for LogisticRegression.
    iterations = int(np.max(pipeline[-1].n_iter_))
    return (accuracy_score(y_test, pipeline.predict(x_test)),
            log_loss(y_test, proba, labels=pipeline.classes_), seconds, iterations)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--pop-size", type=int, default=50)
    parser.add_argument("--data", choices=list(DATA), nargs="*", default=list(DATA))
    arguments = parser.parse_args()
    print(f"tessaron {tessaron.__version__}, {tessaron.get_num_threads()} threads; medians of "
          f"{arguments.seeds} seeds; tessaron: pop_size {arguments.pop_size}, "
          f"at most {arguments.epochs} epochs")
    print(f"{'data':<15}{'estimator':<31}{'accuracy':>9}{'log-loss':>10}{'fit s':>8}"
          f"{'epochs':>8}")
    for name in arguments.data:
        x, y = DATA[name](return_X_y=True)
        figures = {}
        for seed in range(arguments.seeds):
            x_train, x_test, y_train, y_test = train_test_split(
                x, y, test_size=0.25, random_state=seed, stratify=y)
            for label, estimator in estimators(arguments, seed).items():
                figures.setdefault(label, []).append(
                    measure(estimator, x_train, y_train, x_test, y_test))
        for label, rows in figures.items():
            accuracy, loss, seconds, epochs = (statistics.median(c) for c in zip(*rows))
            print(f"{name:<15}{label:<31}{accuracy:>9.3f}{loss:>10.3f}{seconds:>8.2f}"
                  f"{epochs:>8.0f}", flush=True)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
