"""The scikit-learn estimators: scikit-learn's own estimator checks, the tools that compose
estimators, pickling, and repeatable fits."""

import pickle
import subprocess
import sys
from unittest import SkipTest

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.model_selection import GridSearchCV, cross_val_score, train_test_split  # noqa: E402
from sklearn.neural_network import MLPClassifier, MLPRegressor  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import tessaron  # noqa: E402
from tessaron.sklearn import EvolvedClassifier, EvolvedRegressor  # noqa: E402

# Small runs keep the checks fast. The regressor's needs more generations to pass the training
# score the checks demand (R^2 above 0.5 on a linear problem of 10 features).
FAST = dict(pop_size=10, epochs=30, random_state=0)


@parametrize_with_checks([EvolvedRegressor(pop_size=40, epochs=200, random_state=0),
                          EvolvedClassifier(**FAST)])
def test_scikit_learn_estimator_checks(estimator, check, monkeypatch):
    # The array API check runs on numpy arrays when this is set; no check may be skipped.
    monkeypatch.setenv("SCIPY_ARRAY_API", "1")
    try:
        check(estimator)
    except SkipTest as skipped:
        pytest.fail(f"the check was skipped: {skipped}")


RNG = np.random.default_rng(3)
X = RNG.normal(size=(60, 3))
Y = X[:, 0] - 0.5 * X[:, 1]
LABELS = np.where(X[:, 0] + X[:, 2] > 0, "up", "down")


def test_pipelines_grid_search_cross_validation_and_pickling():
    pipeline = make_pipeline(StandardScaler(), EvolvedRegressor(**FAST))
    scores = cross_val_score(pipeline, X, Y, cv=3)
    assert scores.shape == (3,) and np.all(np.isfinite(scores))
    search = GridSearchCV(EvolvedClassifier(**FAST), {"hidden_nodes": [0, 2]}, cv=2).fit(X, LABELS)
    assert search.best_params_["hidden_nodes"] in (0, 2)
    classifier = search.best_estimator_
    assert set(classifier.predict(X)) <= {"down", "up"}
    proba = classifier.predict_proba(X)
    assert proba.shape == (60, 2) and np.allclose(proba.sum(axis=1), 1.0)
    assert np.array_equal(classifier.classes_[proba.argmax(axis=1)], classifier.predict(X))
    copy = pickle.loads(pickle.dumps(classifier))
    assert np.array_equal(copy.predict_proba(X), proba)
    # The hidden nodes are in the starting network.
    assert EvolvedRegressor(hidden_nodes=4, epochs=0).fit(X, Y).model_.size == 3 + 1 + 4


def test_random_state_repeats_fits_and_leaves_the_module_stream_as_it_was():
    def fit_then_draw(random_state):
        tessaron.seed(21)
        model = EvolvedRegressor(**dict(FAST, random_state=random_state)).fit(X, Y).model_
        return model.__getstate__()["network"], tessaron.Model(3, 1).__getstate__()["network"]

    first, after_first = fit_then_draw(5)
    again, after_again = fit_then_draw(5)
    other, after_other = fit_then_draw(6)
    assert first == again and first != other
    # A seeded script stays repeatable after a fit...
    assert after_first == after_again
    # ...and the draws after a fit do not follow from its random_state alone.
    tessaron.seed(5)
    assert after_first != tessaron.Model(3, 1).__getstate__()["network"]


def test_importing_tessaron_does_not_import_scikit_learn():
    code = "import sys, tessaron, tessaron.callbacks; print('sklearn' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "False"


def softmax(outputs):
    exp = np.exp(outputs - outputs.max(axis=1, keepdims=True))
    return exp / exp.sum(axis=1, keepdims=True)


@pytest.mark.parametrize("classes", [2, 3])
@pytest.mark.parametrize("loss", ["categorical_crossentropy", "binary_crossentropy", "mse"])
def test_predict_proba_reads_the_outputs_by_the_link_of_the_loss(loss, classes):
    labels = np.digitize(X[:, 0] + X[:, 2], [-0.5, 0.5][:classes - 1])
    classifier = EvolvedClassifier(loss=loss, **FAST).fit(X, labels)
    outputs, proba = classifier.model_.predict(X), classifier.predict_proba(X)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=1e-12)
    assert np.all(proba >= 0) and np.array_equal(classifier.predict(X), proba.argmax(axis=1))
    if loss == "categorical_crossentropy":
        np.testing.assert_allclose(proba, softmax(outputs), rtol=1e-12)
    elif loss == "binary_crossentropy" and classes == 2:  # one output: the second class's
        assert outputs.shape[1] == 1
        np.testing.assert_allclose(proba[:, 1], np.clip(outputs[:, 0], 1e-7, 1 - 1e-7))
    assert classifier.model_.evaluate(X, np.zeros((60, 1)))  # compiled with the loss
    assert repr(classifier.model_).find(f"loss='{loss}'") > 0


@pytest.mark.parametrize("estimator, y", [(EvolvedRegressor, Y), (EvolvedClassifier, LABELS)])
def test_early_stopping_keeps_the_best_held_out_epoch(estimator, y):
    fitted = estimator(early_stopping=True, n_iter_no_change=3, validation_fraction=0.25,
                       pop_size=10, epochs=60, random_state=4).fit(X, y)
    scores = fitted.validation_scores_
    assert fitted.n_iter_ == len(fitted.loss_curve_) == len(scores) == len(fitted.history_["loss"])
    best = scores.index(fitted.best_validation_score_)
    # It stopped once 3 epochs after the best brought no gain above tol, or at the last epoch.
    assert fitted.n_iter_ == min(60, max(best + 4, 2))
    # The model is the best epoch's: the held-out samples, drawn as the fit drew them, score so.
    stratify = y if estimator is EvolvedClassifier else None
    _, x_held, _, y_held = train_test_split(X, y, test_size=0.25, stratify=stratify,
                                            random_state=np.random.RandomState(4))
    assert fitted.score(x_held, y_held) == pytest.approx(fitted.best_validation_score_, abs=1e-12)
    plain = estimator(pop_size=10, epochs=5, random_state=4).fit(X, y)
    assert plain.validation_scores_ is None and plain.best_validation_score_ is None


def test_warm_start_goes_on_from_the_previous_network():
    regressor = EvolvedRegressor(optimizer="beta", warm_start=True, pop_size=10, epochs=8,
                                 random_state=1).fit(X, Y)
    first = list(regressor.loss_curve_)
    regressor.fit(X, Y)
    # Beta keeps the model's network among its members, and its best: no epoch is worse.
    assert regressor.loss_curve_[:8] == first and regressor.n_iter_ == 16
    assert regressor.loss_curve_[8] <= first[-1]
    with pytest.raises(ValueError, match=r"^warm_start needs y with as many target columns as the "
                                         r"previous fit \(1\), got 2$"):
        regressor.fit(X, np.c_[Y, Y])
    # A warm fit that fails leaves the fitted model as it was, compile state included.
    before = repr(regressor.model_)
    with pytest.raises(ValueError, match="^pop_size must be an even number of at least 2, got 3$"):
        regressor.set_params(pop_size=3, loss="mae").fit(X, Y)
    assert repr(regressor.model_) == before and regressor.n_iter_ == 16
    cold = EvolvedRegressor(optimizer="beta", pop_size=10, epochs=8, random_state=1).fit(X, Y)
    assert cold.fit(X, Y).loss_curve_ == first


@pytest.mark.parametrize("estimator, y", [(EvolvedRegressor, Y), (EvolvedClassifier, LABELS)])
def test_data_frames_and_lists_fit_as_arrays_do_and_keep_feature_names(estimator, y):
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(X, columns=["speed", "angle", "load"])
    data = [(X, y), (frame, pandas.Series(y)), (X.tolist(), list(y))]
    fits = [estimator(**FAST).fit(x, target) for x, target in data]
    assert list(fits[1].feature_names_in_) == ["speed", "angle", "load"]
    assert not hasattr(fits[0], "feature_names_in_")
    for fitted, (x, _) in zip(fits, data):
        assert np.array_equal(fitted.predict(x), fits[0].predict(X))
    with pytest.raises(ValueError, match="feature names should match"):
        fits[1].predict(frame.rename(columns={"load": "mass"}))


@pytest.mark.parametrize("where", ["X", "y"])
@pytest.mark.parametrize("value", [np.nan, np.inf])
@pytest.mark.parametrize("ours, theirs", [(EvolvedRegressor, MLPRegressor),
                                          (EvolvedClassifier, MLPClassifier)])
def test_non_finite_data_is_refused_as_scikit_learn_refuses_it(ours, theirs, where, value):
    x, y = X.copy(), (Y if ours is EvolvedRegressor else (X[:, 0] > 0).astype(float)).copy()
    (x[5] if where == "X" else y[5:6])[0] = value
    with pytest.raises(ValueError) as expected:
        theirs().fit(x, y)
    with pytest.raises(ValueError) as refused:
        ours().fit(x, y)
    assert str(refused.value) == str(expected.value).replace(theirs.__name__, ours.__name__)
